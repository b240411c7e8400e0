// Decompression of one chunk of XPRESS (the Huffman variant that WIM files use).
// Each chunk of a WIM resource is compressed on its own, so a decoder keeps no
// state from one chunk to the next beyond reusable scratch memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bytes/little_endian.h"

namespace wim {

class XpressDecoder {
 public:
  // `chunkSize` is the resource's chunk size (the last chunk may be shorter).
  explicit XpressDecoder(std::uint32_t chunkSize);

  // Decompresses `in` into exactly `outSize` bytes at `out`. False when the
  // data is damaged or does not give exactly `outSize` bytes; it never reads
  // outside `in` nor writes outside `out`, whatever the input.
  bool decompress(le::ByteSpan in, std::uint8_t* out, std::size_t outSize);

 private:
  std::uint32_t chunkSize_;
  // The decoding table of the block being read: a first level indexed by the
  // next bits of the input, then subtables for the longer codes.
  std::vector<std::uint32_t> table_;
};

}  // namespace wim
