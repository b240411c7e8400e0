// bcdboot.exe: copies the boot files of an applied Windows to the system
// partition and writes its boot configuration store there, for BIOS and,
// on a FAT system partition, UEFI machines. With the UEFI files it gives the
// firmware a boot entry for Windows Boot Manager, where the running system
// started through UEFI (natively, with /nvram, in a VM's variable store).
#pragma once

#include <string>
#include <vector>

#include "tools/cli/command_line.h"

namespace tools {

// bcdboot.exe <Windows folder> /S <system drive> [/l <locale>] [/f BIOS|UEFI|ALL];
// natively the system drive is the folder its volume is mounted on, and
// /nvram <file> names a VM's variable store for the firmware's entry.
int runBcdboot(const std::vector<std::string>& arguments, const Host& host);

}  // namespace tools
