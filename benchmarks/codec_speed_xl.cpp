// Speed of the XPRESS and LZX decoders against wimlib's own decompressor, on
// the chunks that make-codec-vectors.sh writes. Built by hand, optimised and
// without sanitizers; it links wimlib, so the program never includes it.
// From the repository's root:
//   g++ -std=c++17 -O2 -I. benchmarks/codec_speed_xl.cpp wim/codecs/xpress_decoder.cpp
//       wim/codecs/lzx_decoder.cpp -lwim -o codec_speed_xl
//   ./codec_speed_xl <vector folder> [seconds per measurement]
// For each codec and chunk size it decodes every chunk over and over and
// prints the output rate of both (the best of many short turns, so that other
// work on the machine counts little); each output is checked against the .raw.
#include <wimlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "wim/codecs/lzx_decoder.h"
#include "wim/codecs/xpress_decoder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

struct Vector {
  Bytes compressed;
  Bytes raw;
};

Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Seconds for one pass of `decodeAll` (every chunk once), timed over a
// slice of `slice` seconds.
template <typename DecodeAll>
double passTime(double slice, DecodeAll& decodeAll) {
  std::size_t passes = 0;
  const Clock::time_point start = Clock::now();
  double elapsed = 0;
  do {
    decodeAll(false);
    ++passes;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (elapsed < slice);
  return elapsed / static_cast<double>(passes);
}

// MB/s of output of both, over about `seconds` each. The machine may be
// shared: the two take turns in short slices and the best slice of each
// counts. The first pass of each checks every output against the original.
template <typename Ours, typename Theirs>
std::pair<double, double> rates(std::size_t bytesPerPass, double seconds, Ours ours,
                                Theirs theirs) {
  if (!ours(true) || !theirs(true)) {
    std::fprintf(stderr, "a chunk did not decode\n");
    std::exit(1);
  }
  const double slice = 0.02;
  double bestOurs = 1e9, bestTheirs = 1e9;
  for (double spent = 0; spent < seconds; spent += slice) {
    bestOurs = std::min(bestOurs, passTime(slice, ours));
    bestTheirs = std::min(bestTheirs, passTime(slice, theirs));
  }
  return {static_cast<double>(bytesPerPass) / bestOurs / 1e6,
          static_cast<double>(bytesPerPass) / bestTheirs / 1e6};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <vector folder> [seconds]\n", argv[0]);
    return 2;
  }
  const double seconds = argc > 2 ? std::atof(argv[2]) : 1.0;
  // (codec, chunk size) -> chunks
  std::map<std::pair<std::string, std::uint32_t>, std::vector<Vector>> groups;
  for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
    const std::filesystem::path path = entry.path();
    if (path.extension() != ".cmp") continue;
    const std::string stem = path.stem().string();
    const std::size_t dash = stem.find('-');
    const std::string codec = stem.substr(0, dash);
    if (codec != "xpress" && codec != "lzx") continue;
    const auto chunkSize =
        static_cast<std::uint32_t>(std::strtoul(stem.c_str() + dash + 1, nullptr, 10));
    Vector vector{readFile(path), readFile(std::filesystem::path(path).replace_extension(".raw"))};
    groups[{codec, chunkSize}].push_back(std::move(vector));
  }

  std::printf("%-7s %8s %10s %12s %12s %7s\n", "codec", "chunk", "bytes", "ours MB/s",
              "wimlib MB/s", "ratio");
  for (const auto& [key, vectors] : groups) {
    const auto& [codec, chunkSize] = key;
    std::size_t total = 0;
    for (const Vector& vector : vectors) total += vector.raw.size();
    Bytes out(chunkSize);

    const bool isXpress = codec == "xpress";
    wim::XpressDecoder xpress(chunkSize);
    wim::LzxDecoder lzx(chunkSize);
    wimlib_decompressor* decompressor = nullptr;
    const wimlib_compression_type type =
        isXpress ? WIMLIB_COMPRESSION_TYPE_XPRESS : WIMLIB_COMPRESSION_TYPE_LZX;
    if (wimlib_create_decompressor(type, chunkSize, &decompressor) != 0) {
      std::fprintf(stderr, "wimlib has no %s decompressor for %u\n", codec.c_str(), chunkSize);
      return 1;
    }
    const auto [ours, theirs] = rates(
        total, seconds,
        [&](bool check) {
          for (const Vector& vector : vectors) {
            const le::ByteSpan in{vector.compressed.data(), vector.compressed.size()};
            const bool ok = isXpress ? xpress.decompress(in, out.data(), vector.raw.size())
                                     : lzx.decompress(in, out.data(), vector.raw.size());
            if (check &&
                (!ok || std::memcmp(out.data(), vector.raw.data(), vector.raw.size()) != 0))
              return false;
          }
          return true;
        },
        [&](bool check) {
          for (const Vector& vector : vectors) {
            const int failed = wimlib_decompress(vector.compressed.data(), vector.compressed.size(),
                                                 out.data(), vector.raw.size(), decompressor);
            if (check &&
                (failed != 0 || std::memcmp(out.data(), vector.raw.data(), vector.raw.size()) != 0))
              return false;
          }
          return true;
        });
    wimlib_free_decompressor(decompressor);
    std::printf("%-7s %8u %10zu %12.1f %12.1f %7.2f\n", codec.c_str(), chunkSize, total, ours,
                theirs, ours / theirs);
  }
  return 0;
}
