// libFuzzer harness for the XPRESS decoder. The input is
//   +0  1 byte   the chunk size: 4096 << (byte % 6), so 4 KiB to 128 KiB (WIM files stop
//                at 64 KiB, but the format has a second block after 64 KiB)
//   +1  3 bytes  the output size, little-endian, taken modulo the chunk size, plus one
//   +4  ...      the compressed chunk
// Besides sanitizer reports it stops when a decoder that has read other
// chunks before answers differently from a new one: no chunk may depend on
// the one before.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "wim/codecs/xpress_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::uint32_t chunkSize = 4096u << (data[0] % 6);
  const std::size_t outSize = (data[1] | data[2] << 8 | data[3] << 16) % chunkSize + 1;
  const le::ByteSpan in{data + 4, size - 4};

  static std::unique_ptr<wim::XpressDecoder> used[6];
  std::unique_ptr<wim::XpressDecoder>& reused = used[data[0] % 6];
  if (!reused) reused = std::make_unique<wim::XpressDecoder>(chunkSize);
  // Exactly as large as asked for, so that AddressSanitizer sees a write
  // past it; left uninitialised, as a success writes every byte.
  const std::unique_ptr<std::uint8_t[]> first(new std::uint8_t[outSize]);
  const std::unique_ptr<std::uint8_t[]> second(new std::uint8_t[outSize]);
  const bool firstOk = reused->decompress(in, first.get(), outSize);
  wim::XpressDecoder fresh(chunkSize);
  const bool secondOk = fresh.decompress(in, second.get(), outSize);
  if (firstOk != secondOk) std::abort();
  if (firstOk && std::memcmp(first.get(), second.get(), outSize) != 0) std::abort();
  return 0;
}
