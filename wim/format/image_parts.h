// The files of one image: a single WIM file, or the parts of a split image
// ("install.swm", "install2.swm", ... "installN.swm", all beside the first),
// with one lookup table for all of them.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "wim/format/blob_table.h"
#include "wim/format/outcome.h"
#include "wim/format/resource_chunks.h"
#include "wim/format/wim_header.h"

namespace wim {

struct ImagePart {
  std::string path;  // as the file system takes it (narrow, see target_paths.h)
  std::uint64_t size = 0;
  Header header;
};

struct ImageParts {
  std::vector<ImagePart> parts;  // [0] is part 1
  BlobTable table;               // every part's lookup table, merged
};

// The name of part `number` (from 2) of a split image whose first part is
// `firstPath`: the number goes before the extension ("a/install.swm" gives
// "a/install2.swm"), or at the end of a name without one.
std::string splitPartPath(const std::string& firstPath, std::uint16_t number);

// Opens part 1 (already read: `header`, `size`) and, for a split image, all
// other parts, each checked to belong to it; reads and merges their lookup
// tables. A part that is missing or foreign fails with its path named.
Outcome openImageParts(const std::string& firstPath, const Header& header, std::uint64_t size,
                       ImageParts& parts);

// Reads any part at any offset through file handles of its own, opened when
// first needed. One per thread.
class PartReader {
 public:
  explicit PartReader(const ImageParts& parts)
      : parts_(&parts), files_(parts.parts.size()), positions_(parts.parts.size(), 0) {}
  bool read(std::uint16_t part, std::uint64_t offset, std::size_t count, std::uint8_t* out);

 private:
  const ImageParts* parts_;
  std::vector<std::unique_ptr<std::ifstream>> files_;
  // Where each file stands after the last read: a read that goes on from
  // there needs no seek.
  std::vector<std::uint64_t> positions_;
};

// A ReadPart over a PartReader of its own.
ReadPart makePartReader(const ImageParts& parts);

}  // namespace wim
