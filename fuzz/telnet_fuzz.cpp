// The telnet parser and option negotiator of the network serial port, as both ends use
// them: arbitrary streams are parsed whole and cut into pieces (the results must agree),
// every negotiation is answered by a client-side and a server-side negotiator (each
// answer is at most one command, and only for the option asked), and the data the parser
// gives back, escaped again and parsed, comes back unchanged.
//
// Input: byte 0 chooses the cut lengths, the rest is the received stream.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "comport/telnet.h"
#include "fuzz_check.h"

namespace {

namespace tn = vexcard::comport::telnet;
using fuzzcheck::check;

struct Recorder final : tn::Parser::Sink {
  std::vector<std::uint8_t> data;
  std::vector<std::vector<std::uint8_t>> events;  // negotiations and subnegotiations
  tn::Negotiator client{{tn::kOptBinary, tn::kOptSuppressGoAhead, tn::kOptComPort},
                        {tn::kOptBinary, tn::kOptSuppressGoAhead, tn::kOptComPort}};
  tn::Negotiator server{{tn::kOptBinary, tn::kOptSuppressGoAhead}, {tn::kOptComPort}};

  void onData(const std::uint8_t* bytes, std::size_t count) override {
    check(count > 0);
    data.insert(data.end(), bytes, bytes + count);
  }
  void onNegotiation(std::uint8_t command, std::uint8_t option) override {
    check(command >= tn::kWill && command <= tn::kDont);
    events.push_back({command, option});
    for (tn::Negotiator* n : {&client, &server}) {
      std::vector<std::uint8_t> out;
      n->receive(command, option, out);
      check(out.empty() || (out.size() == 3 && out[0] == tn::kIac && out[2] == option &&
                            out[1] >= tn::kWill && out[1] <= tn::kDont));
    }
  }
  void onSubnegotiation(const std::uint8_t* body, std::size_t count) override {
    check(count <= tn::Parser::kMaxSubnegotiation);
    events.emplace_back(body, body + count);
    events.back().insert(events.back().begin(), 0);  // apart from negotiations
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  if (size < 1) return 0;
  std::uint32_t cut = input[0] * 2654435761u + 1;
  const std::uint8_t* data = input + 1;
  size -= 1;

  tn::Parser whole;
  Recorder a;
  whole.feed(data, size, a);
  check(a.data.size() <= size);

  tn::Parser pieces;
  Recorder b;
  for (std::size_t at = 0; at < size;) {
    cut = cut * 1103515245u + 12345u;
    std::size_t piece = (cut >> 16) % 9;
    if (piece > size - at) piece = size - at;
    pieces.feed(data + at, piece, b);
    at += piece;
  }
  check(a.data == b.data && a.events == b.events);

  // Data escaped for the wire is parsed back to itself, with no other events.
  std::vector<std::uint8_t> wire;
  tn::appendEscaped(wire, a.data.data(), a.data.size());
  tn::Parser again;
  Recorder c;
  again.feed(wire.data(), wire.size(), c);
  check(c.data == a.data && c.events.empty());
  return 0;
}
