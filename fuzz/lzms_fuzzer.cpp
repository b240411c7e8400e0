// libFuzzer harness for the LZMS chunk decoder. The first 4 bytes of an input
// give the output size (little-endian, up to 1 MiB); the rest is the chunk.
// Besides crashes, sanitizer findings and hangs, it stops when the decoder
// writes past the output or when a decoder that has already decoded other
// chunks answers differently from a new one: nothing may carry over from one
// chunk to the next.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "wim/codecs/lzms_decoder.h"

namespace {

constexpr std::size_t kMaxOutput = 1 << 20;
constexpr std::size_t kGuard = 32;

void check(bool promise) {
  if (!promise) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::size_t outSize =
      (static_cast<std::size_t>(data[0]) | (static_cast<std::size_t>(data[1]) << 8) |
       (static_cast<std::size_t>(data[2]) << 16) | (static_cast<std::size_t>(data[3]) << 24)) %
      (kMaxOutput + 1);
  // A copy of exactly the chunk's bytes, so that AddressSanitizer sees any
  // read past its end.
  const std::vector<std::uint8_t> chunk(data + 4, data + size);
  const le::ByteSpan in{chunk.empty() ? nullptr : chunk.data(), chunk.size()};

  static wim::LzmsDecoder reused(kMaxOutput);
  static std::vector<std::uint8_t> first(kMaxOutput + kGuard);
  static std::vector<std::uint8_t> second(kMaxOutput + kGuard);
  std::memset(first.data() + outSize, 0x5A, kGuard);
  const bool firstOk = reused.decompress(in, first.data(), outSize);
  for (std::size_t i = 0; i < kGuard; ++i) check(first[outSize + i] == 0x5A);

  wim::LzmsDecoder fresh(static_cast<std::uint32_t>(kMaxOutput));
  const bool secondOk = fresh.decompress(in, second.data(), outSize);
  check(firstOk == secondOk);
  if (firstOk) check(std::memcmp(first.data(), second.data(), outSize) == 0);
  return 0;
}
