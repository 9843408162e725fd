// Sizes of the stress tests: a scaled-down run by default, the full run when NIMBREL_STRESS_FULL=1
// (as CI sets it).
#pragma once

#include <cstdlib>
#include <cstring>

namespace nimbrel_stress {

inline bool fullSize() {
  const char* value = std::getenv("NIMBREL_STRESS_FULL");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

/// `full` under NIMBREL_STRESS_FULL=1, otherwise `reduced`.
inline long scaled(long full, long reduced) { return fullSize() ? full : reduced; }

}  // namespace nimbrel_stress
