// bootsect.exe: writes the project's own boot code, which starts Windows'
// boot manager, into an NTFS, FAT32 or FAT16 volume.
#pragma once

#include <string>
#include <vector>

#include "tools/cli/command_line.h"

namespace tools {

// bootsect.exe /NT60 <drive>; natively the drive is a block device, a
// partition file or a mounted folder.
int runBootsect(const std::vector<std::string>& arguments, const Host& host);

}  // namespace tools
