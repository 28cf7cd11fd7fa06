#include "comport/telnet.h"

#include <gtest/gtest.h>

#include <string>

#include "rfc2217/test_util.h"

namespace vexcard::rfc2217_test {
namespace {

namespace tn = comport::telnet;

// Records what the parser reports, as text for short assertions (appended piece by piece:
// a literal + temporary string sets off a false -Wrestrict in GCC 12 at -O3).
struct Recorder : tn::Parser::Sink {
  Bytes data;
  std::string events;
  void onData(const std::uint8_t* d, std::size_t n) override { data.insert(data.end(), d, d + n); }
  void onNegotiation(std::uint8_t c, std::uint8_t o) override {
    events += 'N';
    events += std::to_string(c) + "/" + std::to_string(o) + " ";
  }
  void onSubnegotiation(const std::uint8_t* b, std::size_t n) override {
    events += "S";
    for (std::size_t k = 0; k < n; ++k) {
      events += ':';
      events += std::to_string(b[k]);
    }
    events += " ";
  }
};

const Bytes kStream = {'a',  0xFF, 0xFF, 'b',  0xFF, 0xFB, 44,   0xFF, 0xFA, 44,   107,
                       0xFF, 0xFF, 0xFF, 0xF0, 'c',  0xFF, 0xF1, 0x00, 0xFF, 0xFF, 0x0D};

TEST(TelnetParser, SeparatesDataNegotiationsAndSubnegotiations) {
  tn::Parser parser;
  Recorder r;
  parser.feed(kStream.data(), kStream.size(), r);
  EXPECT_EQ(r.data, (Bytes{'a', 0xFF, 'b', 'c', 0x00, 0xFF, 0x0D}));
  EXPECT_EQ(r.events, "N251/44 S:44:107:255 ");
}

TEST(TelnetParser, GivesTheSameResultWhateverTheStreamIsCutInto) {
  Recorder whole;
  tn::Parser().feed(kStream.data(), kStream.size(), whole);
  tn::Parser parser;
  Recorder bytewise;
  for (std::uint8_t b : kStream) parser.feed(&b, 1, bytewise);
  EXPECT_EQ(bytewise.data, whole.data);
  EXPECT_EQ(bytewise.events, whole.events);
}

TEST(TelnetParser, DropsAnOverlongSubnegotiationAndRecovers) {
  Bytes s = {0xFF, 0xFA, 44};
  s.insert(s.end(), tn::Parser::kMaxSubnegotiation + 10, 7);
  s.insert(s.end(), {0xFF, 0xF0, 'x', 0xFF, 0xFA, 44, 106, 2, 0xFF, 0xF0});
  tn::Parser parser;
  Recorder r;
  parser.feed(s.data(), s.size(), r);
  EXPECT_EQ(r.data, Bytes{'x'});
  EXPECT_EQ(r.events, "S:44:106:2 ");
}

TEST(TelnetParser, AnUnterminatedSubnegotiationGivesWayToTheNextCommand) {
  const Bytes s = {0xFF, 0xFA, 44, 107, 0x10, 0xFF, 0xFD, 3, 'y'};
  tn::Parser parser;
  Recorder r;
  parser.feed(s.data(), s.size(), r);
  EXPECT_EQ(r.events, "N253/3 ");
  EXPECT_EQ(r.data, Bytes{'y'});
}

TEST(TelnetCommands, EscapeTheirValues) {
  EXPECT_EQ(tn::comPortCommand32(tn::kSetBaudRate, 0x0000FFFF),
            (Bytes{0xFF, 0xFA, 44, 1, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0}));
  EXPECT_EQ(tn::comPortCommand(tn::kSetControl, {11}), (Bytes{0xFF, 0xFA, 44, 5, 11, 0xFF, 0xF0}));
}

// Two negotiators that both ask for everything settle after one exchange each way and
// say nothing more; a refused option is not asked for again.
TEST(TelnetNegotiator, TwoEndsSettleWithoutLooping) {
  tn::Negotiator client({0, 3, 44}, {0, 3, 44});
  tn::Negotiator server({0, 3}, {0, 3});
  Bytes toServer, toClient;
  for (std::uint8_t o : {0, 3, 44}) client.requestLocal(o, toServer);
  for (std::uint8_t o : {0, 3}) client.requestRemote(o, toServer);
  server.requestLocal(0, toClient);
  server.requestLocal(1, toClient);  // ECHO, which the client refuses
  int rounds = 0;
  while ((!toServer.empty() || !toClient.empty()) && rounds++ < 10) {
    Bytes a, b;
    for (std::size_t k = 0; k + 3 <= toServer.size(); k += 3) {
      server.receive(toServer[k + 1], toServer[k + 2], b);
    }
    for (std::size_t k = 0; k + 3 <= toClient.size(); k += 3) {
      client.receive(toClient[k + 1], toClient[k + 2], a);
    }
    toServer = a;
    toClient = b;
  }
  EXPECT_LE(rounds, 3);
  using S = tn::Negotiator::State;
  EXPECT_EQ(client.local(0), S::kOn);
  EXPECT_EQ(client.remote(0), S::kOn);
  EXPECT_EQ(client.local(3), S::kOn);
  EXPECT_EQ(client.local(44), S::kOff);  // refused by the server
  EXPECT_EQ(client.remote(1), S::kOff);
  EXPECT_EQ(server.local(1), S::kOff);
}

}  // namespace
}  // namespace vexcard::rfc2217_test
