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

namespace codectest {

using Bytes = std::vector<std::uint8_t>;

// The folder make-codec-vectors.sh filled; under Wine through drive Z:.
inline std::string vectorDir() {
  std::string dir = CODEC_VECTOR_DIR;
#ifdef _WIN32
  for (char& c : dir)
    if (c == '/') c = '\\';
  dir = "Z:" + dir;
#endif
  return dir;
}

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

}  // namespace codectest
