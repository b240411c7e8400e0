// Times the LZMS chunk decoder against wimlib's own decompressor on the same
// chunks (the lzms-*.cmp/.raw pairs that tests/wim/make-codec-vectors.sh
// writes), and checks that both give the original bytes.
// Built by hand, not by CMake, as it links wimlib:
//   g++ -std=c++17 -O2 -I. benchmarks/codec_speed_lzms.cpp wim/codecs/lzms_decoder.cpp \
//     -lwim -o codec_speed_lzms
//   ./codec_speed_lzms <codec-vectors folder> [seconds per chunk and decoder]
#include <dirent.h>
#include <wimlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "wim/codecs/lzms_decoder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Decodes over and over for about `seconds`; returns MB/s of output.
template <typename Decode>
double measure(Decode decode, std::size_t outSize, double seconds) {
  long rounds = 0;
  const Clock::time_point start = Clock::now();
  double elapsed = 0;
  do {
    for (int i = 0; i < 4; ++i) decode();
    rounds += 4;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (elapsed < seconds);
  return static_cast<double>(outSize) * static_cast<double>(rounds) / elapsed / 1e6;
}

// The machine may be shared: the two decoders take turns, five times each,
// and each keeps its best rate.
template <typename Ours, typename Theirs>
void race(Ours ours, Theirs theirs, std::size_t outSize, double seconds, double& oursBest,
          double& theirsBest) {
  oursBest = 0;
  theirsBest = 0;
  for (int turn = 0; turn < 5; ++turn) {
    oursBest = std::max(oursBest, measure(ours, outSize, seconds / 5));
    theirsBest = std::max(theirsBest, measure(theirs, outSize, seconds / 5));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <codec-vectors folder> [seconds]\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  const double seconds = argc > 2 ? std::atof(argv[2]) : 1.0;
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.rfind("lzms-", 0) == 0 && name.size() > 4 &&
          name.compare(name.size() - 4, 4, ".cmp") == 0)
        names.push_back(name.substr(0, name.size() - 4));
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  if (names.empty()) {
    std::fprintf(stderr, "no lzms-*.cmp in %s\n", folder.c_str());
    return 1;
  }

  std::printf("%-28s %10s %10s %10s %7s\n", "chunk", "bytes", "ours MB/s", "wimlib MB/s", "ratio");
  double oursTotal = 0, theirsTotal = 0;
  std::size_t bytesTotal = 0;
  bool allRight = true;
  for (const std::string& name : names) {
    const Bytes compressed = readFile(folder + "/" + name + ".cmp");
    const Bytes original = readFile(folder + "/" + name + ".raw");
    const std::size_t size = original.size();
    Bytes out(size);

    wim::LzmsDecoder ours(static_cast<std::uint32_t>(std::max<std::size_t>(size, 1)));
    wimlib_decompressor* theirs = nullptr;
    if (wimlib_create_decompressor(WIMLIB_COMPRESSION_TYPE_LZMS, size, &theirs) != 0) {
      std::fprintf(stderr, "wimlib cannot decompress %s\n", name.c_str());
      return 1;
    }
    const le::ByteSpan in{compressed.data(), compressed.size()};
    bool right = ours.decompress(in, out.data(), size) && out == original;
    std::fill(out.begin(), out.end(), 0);
    right =
        right &&
        wimlib_decompress(compressed.data(), compressed.size(), out.data(), size, theirs) == 0 &&
        out == original;
    allRight = allRight && right;

    double oursRate = 0;
    double theirsRate = 0;
    race([&] { ours.decompress(in, out.data(), size); },
         [&] { wimlib_decompress(compressed.data(), compressed.size(), out.data(), size, theirs); },
         size, seconds, oursRate, theirsRate);
    wimlib_free_decompressor(theirs);
    std::printf("%-28s %10zu %10.1f %10.1f %7.2f%s\n", name.c_str(), size, oursRate, theirsRate,
                oursRate / theirsRate, right ? "" : "  WRONG OUTPUT");
    // Totals weigh each chunk by its time, as a whole resource would.
    oursTotal += static_cast<double>(size) / oursRate;
    theirsTotal += static_cast<double>(size) / theirsRate;
    bytesTotal += size;
  }
  std::printf("%-28s %10zu %10.1f %10.1f %7.2f\n", "all", bytesTotal,
              static_cast<double>(bytesTotal) / oursTotal,
              static_cast<double>(bytesTotal) / theirsTotal, theirsTotal / oursTotal);
  return allRight ? 0 : 1;
}
