// Decompression of one chunk of LZMS.
// Each chunk of a WIM resource is compressed on its own, so a decoder keeps no
// state from one chunk to the next beyond reusable scratch memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "bytes/little_endian.h"

namespace wim {

class LzmsDecoder {
 public:
  // `chunkSize` is the resource's chunk size (the last chunk may be shorter).
  // A chunk that claims to be larger is refused as damaged.
  explicit LzmsDecoder(std::uint32_t chunkSize);
  ~LzmsDecoder();
  LzmsDecoder(LzmsDecoder&&) noexcept;
  LzmsDecoder& operator=(LzmsDecoder&&) noexcept;
  LzmsDecoder(const LzmsDecoder&) = delete;
  LzmsDecoder& operator=(const LzmsDecoder&) = delete;

  // Decompresses `in` into exactly `outSize` bytes at `out`. False when the
  // data is damaged or does not give exactly `outSize` bytes; it never reads
  // outside `in` nor writes outside `out`, whatever the input.
  bool decompress(le::ByteSpan in, std::uint8_t* out, std::size_t outSize);

 private:
  // Probabilities, adaptive codes and the x86 filter's table: a few hundred
  // KB whatever the chunk size, allocated once and reused for every chunk.
  struct Scratch;

  std::uint32_t chunkSize_;
  std::unique_ptr<Scratch> scratch_;
};

}  // namespace wim
