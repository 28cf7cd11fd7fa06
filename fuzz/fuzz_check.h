// Shared by the fuzz targets: a check that aborts (libFuzzer records the input as a crash).
#pragma once

#include <cstdlib>

namespace fuzzcheck {

inline void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace fuzzcheck
