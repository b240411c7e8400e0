// libFuzzer harness for the ICO/CUR directory reader of the support module:
// any bytes in, a span inside the bytes (or a refusal) out.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "support/icon_directory.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  IconImageSpan span;
  span.offset = 0xDEAD;
  span.size = 0xBEEF;
  if (!chooseIconImage(data, size, &span)) {
    // A refusal leaves the span alone.
    if (span.offset != 0xDEAD || span.size != 0xBEEF) std::abort();
    return 0;
  }
  if (span.size == 0 || span.offset >= size || span.size > size - span.offset) std::abort();
  // Touch every byte of the chosen image: AddressSanitizer sees any overrun.
  unsigned sum = 0;
  for (std::size_t i = 0; i < span.size; ++i) sum += data[span.offset + i];
  volatile unsigned sink = sum;
  (void)sink;
  return 0;
}
