// BOOTICE.exe: marks the partition that holds a drive active on its MBR
// disk (and gives a disk without MBR boot code the project's own), or
// confirms that a GPT disk's EFI system partition needs no marking.
#pragma once

#include <string>
#include <vector>

#include "tools/cli/command_line.h"

namespace tools {

// BOOTICE.exe /DEVICE=<drive> /partitions /activate [/quiet]; natively the
// drive is a block device, a partition file or a mounted folder.
int runBootice(const std::vector<std::string>& arguments, const Host& host);

}  // namespace tools
