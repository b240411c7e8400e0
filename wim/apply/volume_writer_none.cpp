// The Windows build writes into folders only: volumes are written directly
// by the native tool alone.
#include "wim/apply/volume_writer.h"

namespace wim {

bool directVolumesSupported() { return false; }

bool isVolumeTarget(const std::string& /*target*/) { return false; }

TargetTraits volumeTraits(const std::string& /*device*/) { return TargetTraits{}; }

std::unique_ptr<VolumeWriter> openVolumeWriter(const std::string& /*device*/,
                                               std::uint64_t /*bytesNeeded*/, std::string& reason) {
  reason = "this build writes into folders only";
  return nullptr;
}

}  // namespace wim
