// Byte ranges of an open volume or disk for the boot tools: the boot code
// thinks in the volume's sectors, the device in its own.
#pragma once

#include <cstdint>
#include <string>

#include "boot/disk/disk_access.h"

namespace tools {

// Reads `count` bytes from `offset`, which must start one of the device's
// sectors; the last sector read is trimmed to the count. False with a reason
// otherwise.
bool readBytes(boot::Device& device, std::uint64_t offset, std::uint64_t count, le::Bytes& out,
               std::string& reason);
// Writes whole device sectors; false with a reason when the range does not
// start and end on the device's sectors.
bool writeBytes(boot::Device& device, std::uint64_t offset, const le::Bytes& bytes,
                std::string& reason);

// What to add to a failure to open a volume for raw writing, where the
// system's own reason does not say enough.
std::string volumeOpenHint(const std::string& target);

}  // namespace tools
