// What the decoders' tests share: the chunks that make-codec-vectors.sh had
// wimlib compress, with their original bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bytes/little_endian.h"
#include "tests/wim/host_folder.h"

namespace codectest {

using Bytes = std::vector<std::uint8_t>;

// The folder make-codec-vectors.sh filled.
inline std::string vectorDir() { return wimtest::hostFolder(CODEC_VECTOR_DIR); }

inline Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// One chunk: "<codec>-<chunk size>-<kind>.cmp" and its ".raw".
struct Vector {
  std::string name;
  std::uint32_t chunkSize;
  Bytes compressed;
  Bytes original;
};

using VectorsBySize = std::map<std::uint32_t, std::vector<Vector>>;

inline VectorsBySize loadVectors(const std::string& codec) {
  VectorsBySize bySize;
  const std::string prefix = codec + "-";
  for (const auto& entry : std::filesystem::directory_iterator(vectorDir())) {
    const std::string stem = entry.path().stem().string();
    if (entry.path().extension() != ".cmp" || stem.rfind(prefix, 0) != 0) continue;
    const auto chunkSize = static_cast<std::uint32_t>(std::stoul(stem.substr(prefix.size())));
    std::filesystem::path raw = entry.path();
    raw.replace_extension(".raw");
    bySize[chunkSize].push_back({stem, chunkSize, readFile(entry.path()), readFile(raw)});
  }
  return bySize;
}

// The chunks of one codec ("xpress", "lzx", "lzms") by chunk size, read once.
inline const VectorsBySize& vectorsOf(const std::string& codec) {
  static std::map<std::string, VectorsBySize> loaded;
  auto found = loaded.find(codec);
  if (found == loaded.end()) found = loaded.emplace(codec, loadVectors(codec)).first;
  return found->second;
}

// Every chunk of a codec decodes to its original bytes, one decoder reused
// for all chunks of a size.
template <typename Decoder>
void expectEveryChunkDecodes(const VectorsBySize& vectors) {
  ASSERT_FALSE(vectors.empty()) << "no chunks in " << vectorDir();
  for (const auto& [chunkSize, group] : vectors) {
    Decoder decoder(chunkSize);
    for (const Vector& vector : group) {
      Bytes out(vector.original.size());
      ASSERT_TRUE(decoder.decompress(
          le::ByteSpan{vector.compressed.data(), vector.compressed.size()}, out.data(), out.size()))
          << vector.name;
      EXPECT_TRUE(out == vector.original) << vector.name;
    }
  }
}

}  // namespace codectest
