// SHA-1, which a WIM file uses to name every piece of data it stores: the
// lookup table finds data by its SHA-1, and the apply checks each file's
// bytes against it while writing them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace wim {

inline constexpr std::size_t kSha1Size = 20;
using Sha1Digest = std::array<std::uint8_t, kSha1Size>;

// An incremental SHA-1: feed bytes in any pieces, then take the digest once.
struct Sha1 {
  std::array<std::uint32_t, 5> state{0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u,
                                     0xC3D2E1F0u};
  std::array<std::uint8_t, 64> block{};
  std::size_t blockUsed = 0;
  std::uint64_t totalBytes = 0;

  void update(const std::uint8_t* data, std::size_t size);
  // Pads and returns the digest; the object is spent afterwards.
  Sha1Digest finish();
};

Sha1Digest sha1Of(const std::uint8_t* data, std::size_t size);

// Forty lower-case hexadecimal digits, as wiminfo and sha1sum print them.
std::string sha1Hex(const Sha1Digest& digest);

// True for the all-zero digest, which a WIM file uses for "no data".
bool isZeroDigest(const Sha1Digest& digest);

}  // namespace wim
