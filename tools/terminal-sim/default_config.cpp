#include "terminal-sim/default_config.h"

namespace vexcard::sim {

std::string_view defaultConfigText() {
  return R"(# The built-in simulated terminal (vexcard --simulator, vexcard demo, vexcard-terminal).
reply-delay-ms 20
shift closed

# A bonus (loyalty) card: the second status byte's low bits are 01.
card bonus 26430000000000012345
  status 00 01
  balance 5000.00
  discount 5            # 5 % off everything
  discount 92 3.5       # 3.5 % off product 92 (Аи-92)
  purse 1 1 150.00      # oil: purse 1, up to 150 units
  purse 2 2
  purse 92 19
  purse 95 21

# A non-cash (fuel) card: second status byte 00.
card fuel 77010000000000067890
  status 00 00
  balance 20000.00
  discount 2
  purse 1 1 40.00
  purse 2 2
  purse 92 19
  purse 95 21

# A bonus card the issuer has blocked: every card command answers 0x8C.
card blocked 26430000000000099999
  status 00 01
  balance 100.00
  blocked

insert bonus
)";
}

}  // namespace vexcard::sim
