#include "tools/cli/volume_io.h"

namespace tools {

namespace {

bool aligned(const boot::Device& device, std::uint64_t offset, std::uint64_t count,
             std::string& reason) {
  if (offset % device.sectorSize == 0 && count % device.sectorSize == 0) return true;
  reason = device.path + " has sectors of " + std::to_string(device.sectorSize) +
           " bytes, larger than the volume's own";
  return false;
}

}  // namespace

bool readBytes(boot::Device& device, std::uint64_t offset, std::uint64_t count, le::Bytes& out,
               std::string& reason) {
  // A device with larger sectors than asked for still reads its first one.
  if (offset == 0 && count < device.sectorSize) {
    if (!boot::readSectors(device, 0, 1, out, reason)) return false;
    out.resize(static_cast<std::size_t>(count));
    return true;
  }
  if (!aligned(device, offset, count, reason)) return false;
  return boot::readSectors(device, offset / device.sectorSize,
                           static_cast<std::uint32_t>(count / device.sectorSize), out, reason);
}

bool writeBytes(boot::Device& device, std::uint64_t offset, const le::Bytes& bytes,
                std::string& reason) {
  if (!aligned(device, offset, bytes.size(), reason)) return false;
  return boot::writeSectors(device, offset / device.sectorSize, bytes, reason);
}

std::string volumeOpenHint(const std::string& target) {
#ifdef _WIN32
  return "; " + target +
         " must be a volume that the system gives raw access to (a drive that maps a folder, as "
         "Wine makes them, has no sectors)";
#else
  (void)target;
  return std::string();
#endif
}

}  // namespace tools
