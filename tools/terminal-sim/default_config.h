// The cards and shift of the simulated terminal when no configuration file is given: the
// terminal of `vexcard --simulator`, `vexcard demo` and `vexcard-terminal` (its text is in
// the format of docs/terminal-sim.md and is shown by `vexcard-terminal --show-config`).
#pragma once

#include <string_view>

namespace vexcard::sim {

// Three cards: "bonus" (a bonus card, in the reader), "fuel" (a non-cash card) and
// "blocked" (a blocked bonus card); no shift open.
std::string_view defaultConfigText();

}  // namespace vexcard::sim
