// A read-only byte array with its length: the embedded tools, icons and
// pictures are carried this way.
#pragma once

#include <cstddef>

struct ByteBlob {
  const unsigned char* data = nullptr;
  std::size_t size = 0;
};
