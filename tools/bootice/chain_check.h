// Reads the start chain of an open disk for judgeStartChain and prints the
// verdicts: the partitions looked into through the system's own mount or one
// made read-only for the moment and released again, the machine's other
// disks searched for a partition a store names, the firmware's first boot
// entry where the machine started through UEFI. Nothing is written.
#pragma once

#include <string>

#include "boot/disk/disk_access.h"
#include "boot/disk/partition_table.h"
#include "tools/cli/command_line.h"

namespace tools {

// One line per firmware the disk is set up for, and a warning line for each
// partition that could not be looked into. False, with the first broken link
// and what to do about it in `reason`, when the disk would not start.
bool checkStartChain(const std::string& device, const std::string& diskPath, boot::Device& disk,
                     const boot::DiskLayout& layout, const boot::Partition& named, const Host& host,
                     std::string& reason);

}  // namespace tools
