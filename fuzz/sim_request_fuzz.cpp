// The simulator's request decoder and the terminal it feeds: any received text (or body,
// see below) is either
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

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  using fuzzcheck::check;
  // A text that starts with 'B' is a body to encode first (index, command, parameters), so
  // that the fuzzer reaches every command without having to find its checksum.
  Bytes encodedBody;
  const std::uint8_t* data = input;
  if (size >= 3 && input[0] == 'B' && size - 1 <= 255) {
    encodedBody = encodeFrameText(std::span(input + 1, size - 1));
    data = encodedBody.data();
    size = encodedBody.size();
  }
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
