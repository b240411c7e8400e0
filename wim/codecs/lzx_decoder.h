// Decompression of one chunk of LZX (the WIM variant: a window the size of the chunk, E8
// translation over the chunk). Each chunk of a WIM resource is compressed on its own, so a decoder
// keeps no state from one chunk to the next beyond reusable scratch memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bytes/little_endian.h"

namespace wim {

class LzxDecoder {
 public:
  // `chunkSize` is the resource's chunk size (the last chunk may be shorter).
  explicit LzxDecoder(std::uint32_t chunkSize);

  // Decompresses `in` into exactly `outSize` bytes at `out`. False when the
  // data is damaged or does not give exactly `outSize` bytes; it never reads
  // outside `in` nor writes outside `out`, whatever the input.
  bool decompress(le::ByteSpan in, std::uint8_t* out, std::size_t outSize);

 private:
  std::uint32_t chunkSize_;
  unsigned windowOrder_ = 0;      // log2 of the window, 15 to 21; 0: no LZX chunk size
  unsigned mainSymbolCount_ = 0;  // 256 literals and 8 match symbols per offset slot
  // Code lengths of the main and the length code, carried from block to block
  // within a chunk, each with room for a run that overshoots its end.
  std::vector<std::uint8_t> mainLengths_;
  std::vector<std::uint8_t> lengthLengths_;
  // Decoding tables: a first level indexed by the next bits, then subtables.
  std::vector<std::uint32_t> mainTable_;
  std::vector<std::uint32_t> lengthTable_;
  std::vector<std::uint32_t> alignedTable_;
  std::vector<std::uint32_t> preTable_;
};

}  // namespace wim
