// The installed vexcard::Env with some delays changed, for an EnvScope around part of a
// test: EnvScope slow(envWith({{Delay::kPortRetryPause, 600000}}));
#pragma once

#include <cstdint>
#include <initializer_list>
#include <utility>

#include "driver/env.h"

namespace vexcard {

inline Env envWith(std::initializer_list<std::pair<timing::Delay, std::uint32_t>> delays) {
  Env env = currentEnv();
  for (auto [d, ms] : delays) env.timing.set(d, ms);
  return env;
}

}  // namespace vexcard
