#include "wim/format/sha1.h"

#include <algorithm>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace wim {

namespace {

std::uint32_t rotateLeft(std::uint32_t value, unsigned bits) {
  return (value << bits) | (value >> (32 - bits));
}

std::uint32_t bigEndian32(const std::uint8_t* bytes) {
  return (static_cast<std::uint32_t>(bytes[0]) << 24) |
         (static_cast<std::uint32_t>(bytes[1]) << 16) |
         (static_cast<std::uint32_t>(bytes[2]) << 8) | static_cast<std::uint32_t>(bytes[3]);
}

// FIPS 180-4's compression function over whole 64-byte blocks. The words are
// big-endian, read byte by byte so that the host's byte order never matters;
// the schedule is a ring of 16 words and each of the four kinds of round is a
// loop of its own, which keeps the rounds free of branches.
void compressPortable(std::uint32_t* state, const std::uint8_t* data, std::size_t blocks) {
  for (; blocks > 0; --blocks, data += 64) {
    std::uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = bigEndian32(data + 4 * i);
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    const auto word = [&w](int i) {
      if (i < 16) return w[i];
      const std::uint32_t next =
          rotateLeft(w[(i - 3) & 15] ^ w[(i - 8) & 15] ^ w[(i - 14) & 15] ^ w[i & 15], 1);
      w[i & 15] = next;
      return next;
    };
    const auto round = [&](std::uint32_t f, std::uint32_t k, std::uint32_t x) {
      const std::uint32_t next = rotateLeft(a, 5) + f + e + k + x;
      e = d;
      d = c;
      c = rotateLeft(b, 30);
      b = a;
      a = next;
    };
    for (int i = 0; i < 20; ++i) round(d ^ (b & (c ^ d)), 0x5A827999u, word(i));
    for (int i = 20; i < 40; ++i) round(b ^ c ^ d, 0x6ED9EBA1u, word(i));
    for (int i = 40; i < 60; ++i) round((b & c) | (d & (b | c)), 0x8F1BBCDCu, word(i));
    for (int i = 60; i < 80; ++i) round(b ^ c ^ d, 0xCA62C1D6u, word(i));
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
  }
}

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define WIM_SHA1_X86 1
// The x86 SHA extensions do four rounds and a quarter of the schedule per
// instruction: several times the portable speed, and the apply hashes every
// byte it writes. Used only where the processor has them.
__attribute__((target("sha,sse4.1"))) void compressShaExtensions(std::uint32_t* state,
                                                                 const std::uint8_t* data,
                                                                 std::size_t blocks) {
  // Words big-endian, the first in the highest lane.
  const __m128i reverseBytes = _mm_set_epi64x(0x0001020304050607ll, 0x08090a0b0c0d0e0fll);
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
  __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
  for (; blocks > 0; --blocks, data += 64) {
    const __m128i savedAbcd = abcd;
    const __m128i savedE = e0;
    __m128i m[4];
    for (int i = 0; i < 4; ++i)
      m[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)),
                              reverseBytes);
    __m128i previous = abcd;
    for (int g = 0; g < 20; ++g) {
      if (g >= 4)  // words 4g..4g+3 from the four groups before
        m[g & 3] = _mm_sha1msg2_epu32(
            _mm_xor_si128(_mm_sha1msg1_epu32(m[g & 3], m[(g + 1) & 3]), m[(g + 2) & 3]),
            m[(g + 3) & 3]);
      const __m128i e = g == 0 ? _mm_add_epi32(e0, m[0]) : _mm_sha1nexte_epu32(previous, m[g & 3]);
      previous = abcd;
      switch (g / 5) {
        case 0:
          abcd = _mm_sha1rnds4_epu32(abcd, e, 0);
          break;
        case 1:
          abcd = _mm_sha1rnds4_epu32(abcd, e, 1);
          break;
        case 2:
          abcd = _mm_sha1rnds4_epu32(abcd, e, 2);
          break;
        default:
          abcd = _mm_sha1rnds4_epu32(abcd, e, 3);
      }
    }
    e0 = _mm_sha1nexte_epu32(previous, savedE);
    abcd = _mm_add_epi32(abcd, savedAbcd);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
  state[4] = static_cast<std::uint32_t>(_mm_extract_epi32(e0, 3));
}

bool hasShaExtensions() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  const bool sha = (ebx & (1u << 29)) != 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  const bool ssse3 = (ecx & (1u << 9)) != 0, sse41 = (ecx & (1u << 19)) != 0;
  return sha && ssse3 && sse41;
}
#endif

void compress(std::uint32_t* state, const std::uint8_t* data, std::size_t blocks) {
#ifdef WIM_SHA1_X86
  static const bool extensions = hasShaExtensions();
  if (extensions) return compressShaExtensions(state, data, blocks);
#endif
  compressPortable(state, data, blocks);
}

}  // namespace

void Sha1::update(const std::uint8_t* data, std::size_t size) {
  totalBytes += size;
  if (blockUsed > 0) {
    const std::size_t take = std::min(size, block.size() - blockUsed);
    for (std::size_t i = 0; i < take; ++i) block[blockUsed + i] = data[i];
    blockUsed += take;
    data += take;
    size -= take;
    if (blockUsed < block.size()) return;
    compress(state.data(), block.data(), 1);
    blockUsed = 0;
  }
  // Whole blocks straight from the caller's buffer: no copy on the hot path.
  const std::size_t blocks = size / block.size();
  if (blocks > 0) {
    compress(state.data(), data, blocks);
    data += blocks * block.size();
    size -= blocks * block.size();
  }
  for (std::size_t i = 0; i < size; ++i) block[i] = data[i];
  blockUsed = size;
}

Sha1Digest Sha1::finish() {
  const std::uint64_t bitLength = totalBytes * 8;
  block[blockUsed++] = 0x80;
  if (blockUsed > 56) {
    while (blockUsed < block.size()) block[blockUsed++] = 0;
    compress(state.data(), block.data(), 1);
    blockUsed = 0;
  }
  while (blockUsed < 56) block[blockUsed++] = 0;
  for (int i = 0; i < 8; ++i) block[56 + i] = static_cast<std::uint8_t>(bitLength >> (56 - 8 * i));
  compress(state.data(), block.data(), 1);
  blockUsed = 0;

  Sha1Digest digest{};
  for (std::size_t i = 0; i < state.size(); ++i)
    for (std::size_t j = 0; j < 4; ++j)
      digest[4 * i + j] = static_cast<std::uint8_t>(state[i] >> (24 - 8 * j));
  return digest;
}

Sha1Digest sha1Of(const std::uint8_t* data, std::size_t size) {
  Sha1 sha1;
  sha1.update(data, size);
  return sha1.finish();
}

std::string sha1Hex(const Sha1Digest& digest) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t byte : digest) {
    text += digits[byte >> 4];
    text += digits[byte & 0x0F];
  }
  return text;
}

bool isZeroDigest(const Sha1Digest& digest) {
  for (std::uint8_t byte : digest)
    if (byte != 0) return false;
  return true;
}

}  // namespace wim
