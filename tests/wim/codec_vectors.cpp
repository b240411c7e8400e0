// Writes test chunks for the decompressors: data of several kinds, each
// compressed by wimlib (the independent peer) as one chunk of a WIM resource
// of a given chunk size. For every chunk that shrank, two files go into the
// output folder:
//   <codec>-<chunk size>-<name>.raw   the original bytes
//   <codec>-<chunk size>-<name>.cmp   wimlib's compressed chunk
// A chunk that does not shrink is stored raw in a WIM file and never reaches
// a decompressor, so none is written for it.
//   codec_vectors <output folder>
// Built and run by make-codec-vectors.sh; it links wimlib, so it is never
// part of the program or of the Windows build.
#include <wimlib.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// A small deterministic generator: the same vectors on every run.
struct Random {
  std::uint64_t state;
  std::uint32_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>(state >> 33);
  }
  std::uint32_t below(std::uint32_t limit) { return next() % limit; }
};

Bytes zeros(std::size_t size) { return Bytes(size, 0); }

Bytes words(std::size_t size, std::uint64_t seed) {
  static const char* const kWords[] = {"the ",     "image ", "install ", "partition ", "boot ",
                                       "Windows ", "\r\n",   "setup ",   "driver ",    "system32 ",
                                       "<xml>",    "</xml>", "0123 ",    "fileName=",  "\"; "};
  Random random{seed};
  Bytes out;
  while (out.size() < size) {
    const char* word = kWords[random.below(sizeof kWords / sizeof kWords[0])];
    for (const char* c = word; *c != 0 && out.size() < size; ++c) out.push_back(*c);
  }
  return out;
}

// Records of a few fields, some repeating, some counting: matches at many
// distances and lengths, and repeat offsets.
Bytes records(std::size_t size, std::uint64_t seed) {
  Random random{seed};
  Bytes out;
  std::uint32_t counter = 0;
  while (out.size() < size) {
    std::uint8_t record[24] = {0x4D, 0x5A, 0x90, 0x00};
    for (int i = 4; i < 8; ++i) record[i] = static_cast<std::uint8_t>(counter >> (8 * (i - 4)));
    for (int i = 8; i < 24; ++i)
      record[i] = random.below(4) == 0 ? static_cast<std::uint8_t>(random.next()) : 0x20;
    ++counter;
    for (std::uint8_t b : record)
      if (out.size() < size) out.push_back(b);
    if (random.below(16) == 0 && out.size() > 300) {  // an earlier stretch again, far back
      std::size_t from = random.below(static_cast<std::uint32_t>(out.size() - 260));
      std::size_t length = 3 + random.below(257);
      for (std::size_t i = 0; i < length && out.size() < size; ++i) out.push_back(out[from + i]);
    }
  }
  return out;
}

// Machine code of a sort: many E8 (call) opcodes with relative targets, the
// bytes that LZX and LZMS translate before compressing.
Bytes calls(std::size_t size, std::uint64_t seed) {
  Random random{seed};
  Bytes out;
  while (out.size() < size) {
    switch (random.below(4)) {
      case 0: {
        out.push_back(0xE8);
        std::int32_t target = static_cast<std::int32_t>(random.below(0x40000)) - 0x10000;
        std::int32_t relative = target - static_cast<std::int32_t>(out.size());
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(relative >> (8 * i)));
        break;
      }
      case 1:
        out.push_back(0xE8);  // a bare E8 near the end or mid-stream
        break;
      case 2:
        out.insert(out.end(), {0x48, 0x89, 0x5C, 0x24, 0x08, 0x57, 0x48, 0x83, 0xEC, 0x20});
        break;
      default:
        out.push_back(static_cast<std::uint8_t>(random.next()));
    }
  }
  out.resize(size);
  return out;
}

// Sampled signals: 16-bit ramps and a 32-bit counter table, the data that
// LZMS's delta matches are made for.
Bytes samples(std::size_t size, std::uint64_t seed) {
  Random random{seed};
  Bytes out;
  std::uint16_t value = 0;
  std::uint16_t step = 3;
  while (out.size() < size) {
    if (random.below(512) == 0) step = static_cast<std::uint16_t>(1 + random.below(40));
    value = static_cast<std::uint16_t>(value + step);
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(random.below(3)));
    out.push_back(0x7F);
  }
  out.resize(size);
  return out;
}

// Long runs: the longest matches and overlapping copies at distance 1.
Bytes runs(std::size_t size, std::uint64_t seed) {
  Random random{seed};
  Bytes out;
  while (out.size() < size) {
    std::uint8_t b = static_cast<std::uint8_t>(random.below(3) + 'a');
    std::size_t length = 1 + random.below(random.below(8) == 0 ? 70000 : 300);
    for (std::size_t i = 0; i < length && out.size() < size; ++i) out.push_back(b);
  }
  return out;
}

// Mostly random with a few repeats: literals everywhere, long offsets.
Bytes noisy(std::size_t size, std::uint64_t seed) {
  Random random{seed};
  Bytes out;
  while (out.size() < size) {
    if (out.size() > 1000 && random.below(50) == 0) {
      std::size_t from = random.below(static_cast<std::uint32_t>(out.size() - 900));
      for (std::size_t i = 0; i < 40 + random.below(800) && out.size() < size; ++i)
        out.push_back(out[from + i]);
    } else {
      out.push_back(static_cast<std::uint8_t>(random.next() & 0x3F));
    }
  }
  return out;
}

// A stretch of a real program from this machine, when one is readable.
Bytes realFile(std::size_t size) {
  for (const char* path : {"/usr/bin/wimlib-imagex", "/usr/lib/x86_64-linux-gnu/libwim.so.15",
                           "/bin/bash", "/usr/bin/cmake"}) {
    std::ifstream in(path, std::ios::binary);
    if (!in) continue;
    Bytes out(size);
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(size));
    out.resize(static_cast<std::size_t>(in.gcount()));
    if (!out.empty()) {
      while (out.size() < size) out.push_back(out[out.size() % 997]);  // short file: repeat it
      return out;
    }
  }
  return words(size, 99);
}

bool writeFile(const std::string& path, const Bytes& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && ok;
}

struct Codec {
  const char* name;
  wimlib_compression_type type;
  std::vector<std::size_t> chunkSizes;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  const Codec codecs[] = {
      {"xpress", WIMLIB_COMPRESSION_TYPE_XPRESS, {4096, 32768, 65536}},
      {"lzx", WIMLIB_COMPRESSION_TYPE_LZX, {32768, 65536, 1 << 21}},
      {"lzms", WIMLIB_COMPRESSION_TYPE_LZMS, {131072, 1 << 20}},
  };
  int written = 0;
  for (const Codec& codec : codecs) {
    for (std::size_t chunkSize : codec.chunkSizes) {
      wimlib_compressor* compressor = nullptr;
      if (wimlib_create_compressor(codec.type, chunkSize, 50, &compressor) != 0) {
        std::fprintf(stderr, "wimlib cannot make a %s compressor for %zu\n", codec.name, chunkSize);
        return 1;
      }
      struct Input {
        std::string name;
        Bytes bytes;
      };
      std::vector<Input> inputs = {
          {"zeros", zeros(chunkSize)},
          {"words", words(chunkSize, chunkSize)},
          {"records", records(chunkSize, chunkSize + 1)},
          {"calls", calls(chunkSize, chunkSize + 2)},
          {"samples", samples(chunkSize, chunkSize + 3)},
          {"runs", runs(chunkSize, chunkSize + 4)},
          {"noisy", noisy(chunkSize, chunkSize + 5)},
          {"real", realFile(chunkSize)},
          // The last chunk of a resource is shorter than the chunk size.
          {"short-words", words(chunkSize / 3 + 7, 7)},
          {"short-calls", calls(chunkSize / 2 + 1, 8)},
          {"tiny", words(40, 9)},
          {"one", Bytes(1, 'x')},
      };
      for (const Input& input : inputs) {
        Bytes compressed(input.bytes.size());
        std::size_t size = wimlib_compress(input.bytes.data(), input.bytes.size(),
                                           compressed.data(), compressed.size(), compressor);
        if (size == 0) continue;  // did not shrink: stored raw
        compressed.resize(size);
        std::string stem =
            folder + "/" + codec.name + "-" + std::to_string(chunkSize) + "-" + input.name;
        if (!writeFile(stem + ".raw", input.bytes) || !writeFile(stem + ".cmp", compressed)) {
          std::fprintf(stderr, "cannot write %s\n", stem.c_str());
          return 1;
        }
        ++written;
      }
      wimlib_free_compressor(compressor);
    }
  }
  std::printf("%d test chunks in %s\n", written, folder.c_str());
  return written > 0 ? 0 : 1;
}
