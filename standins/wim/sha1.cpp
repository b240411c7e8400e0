#include "standins/wim/sha1.h"

#include <algorithm>

namespace wim {

namespace {

std::uint32_t rotateLeft(std::uint32_t value, unsigned bits) {
  return (value << bits) | (value >> (32 - bits));
}

// One 64-byte block of FIPS 180-4's compression function; the words are
// big-endian, read byte by byte so that the host's byte order never matters.
void compress(std::array<std::uint32_t, 5>& state, const std::uint8_t* block) {
  std::uint32_t w[80];
  for (int i = 0; i < 16; ++i)
    w[i] = (static_cast<std::uint32_t>(block[4 * i]) << 24) |
           (static_cast<std::uint32_t>(block[4 * i + 1]) << 16) |
           (static_cast<std::uint32_t>(block[4 * i + 2]) << 8) |
           static_cast<std::uint32_t>(block[4 * i + 3]);
  for (int i = 16; i < 80; ++i) w[i] = rotateLeft(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);

  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
  for (int i = 0; i < 80; ++i) {
    std::uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999u;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1u;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDCu;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6u;
    }
    const std::uint32_t next = rotateLeft(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = rotateLeft(b, 30);
    b = a;
    a = next;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
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
    compress(state, block.data());
    blockUsed = 0;
  }
  // Whole blocks straight from the caller's buffer: no copy on the hot path.
  while (size >= block.size()) {
    compress(state, data);
    data += block.size();
    size -= block.size();
  }
  for (std::size_t i = 0; i < size; ++i) block[i] = data[i];
  blockUsed = size;
}

Sha1Digest Sha1::finish() {
  const std::uint64_t bitLength = totalBytes * 8;
  block[blockUsed++] = 0x80;
  if (blockUsed > 56) {
    while (blockUsed < block.size()) block[blockUsed++] = 0;
    compress(state, block.data());
    blockUsed = 0;
  }
  while (blockUsed < 56) block[blockUsed++] = 0;
  for (int i = 0; i < 8; ++i) block[56 + i] = static_cast<std::uint8_t>(bitLength >> (56 - 8 * i));
  compress(state, block.data());
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
