// How a step of the reader reports: no exceptions, a kind of problem and a
// sentence a person can act on.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

namespace wim {

enum class Problem {
  None,         // all went well
  Unreadable,   // the file could not be opened or read
  NotWim,       // the file is readable but is not a WIM file
  Damaged,      // a WIM file whose structures contradict themselves or the file
  Unsupported,  // a well-formed WIM file that needs what this reader does not do
};

struct Outcome {
  Problem problem = Problem::None;
  std::string reason;  // empty when problem is None

  bool ok() const { return problem == Problem::None; }
};

inline Outcome success() { return Outcome{}; }

inline Outcome failure(Problem problem, std::string reason) {
  return Outcome{problem, std::move(reason)};
}

// Numbers as reasons quote them.
inline std::string decimal(std::uint64_t value) { return std::to_string(value); }
inline std::string hex8(std::uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(value));
  return text;
}

}  // namespace wim
