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
  // A disk reads only whole sectors of its own size (4096 bytes on 4Kn disks):
  // the sectors that hold the bytes asked for are read, and the rest trimmed.
  const std::uint64_t sector = device.sectorSize;
  if (offset % sector != 0) {
    reason = device.path + " has sectors of " + std::to_string(sector) + " bytes; byte " +
             std::to_string(offset) + " is not where one starts";
    return false;
  }
  const std::uint64_t sectors = (count + sector - 1) / sector;
  if (sectors > 0xFFFFFFFFu) return reason = "too much to read at once from " + device.path, false;
  if (!boot::readSectors(device, offset / sector, static_cast<std::uint32_t>(sectors), out, reason))
    return false;
  out.resize(static_cast<std::size_t>(count));
  return true;
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
