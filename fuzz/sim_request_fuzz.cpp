// The simulator's request decoder and the terminal it feeds: any received text is either
// refused with a reason or decoded into a body whose re-encoding is the same text; a
// decoded request is carried out by a terminal with a card in its reader, and its reply
// encodes into a text that decodes back to that reply.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_check.h"
#include "terminal-sim/sim_config.h"
#include "terminal-sim/sim_wire.h"
#include "terminal-sim/terminal_model.h"

namespace {

using namespace vexcard::sim;

const SimulatorConfig& config() {
  static const SimulatorConfig c = parseSimulatorConfig(R"(
shift open 2
card bonus 12345678901234567890
  status 00 01
  balance 1000.00
  discount 2.5
insert bonus
)");
  return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using fuzzcheck::check;
  const std::span<const std::uint8_t> text(data, size);
  const DecodedFrame request = decodeFrameText(text);
  if (request.error != FrameError::kNone) {
    check(!frameErrorName(request.error).empty());
    return 0;
  }
  check(request.body.size() >= 2);
  const Bytes encoded = encodeFrameText(request.body);
  check(encoded.size() == size && std::equal(encoded.begin(), encoded.end(), data));

  TerminalModel model(config());
  const Bytes reply = model.execute(request.body[0], std::span(request.body).subspan(1));
  check(reply.size() >= 3 && reply.size() <= 255 && reply[0] == request.body[0]);
  const DecodedFrame back = decodeFrameText(encodeFrameText(reply));
  check(back.error == FrameError::kNone && back.body == reply);
  return 0;
}
