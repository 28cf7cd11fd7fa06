// The simulator's configuration text and fault syntax: any text either parses or is refused
// with vexcard::Exception, never anything else; a configuration that parses builds a
// terminal that answers a card read, and a fault that parses has a count of at least one (or
// "always").
//
// Input: byte 0 chooses the parser (even: configuration, odd: one fault), the rest is text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "terminal-sim/fault_syntax.h"
#include "terminal-sim/sim_config.h"
#include "terminal-sim/terminal_model.h"
#include "vexcard/exception.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using fuzzcheck::check;
  using namespace vexcard::sim;
  if (size < 1) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  try {
    if (data[0] % 2 == 0) {
      const SimulatorConfig config = parseSimulatorConfig(text);
      TerminalModel model(config);
      const std::uint8_t readCard[] = {0x0A};
      const Bytes reply = model.execute(1, readCard);
      check(reply.size() >= 3 && reply[0] == 1 && reply[1] == 0x0A);
    } else {
      const FaultRule rule = parseFaultRule(text);
      check(rule.count > 0 || rule.count == kAlways);
    }
  } catch (const vexcard::Exception&) {
  }
  return 0;
}
