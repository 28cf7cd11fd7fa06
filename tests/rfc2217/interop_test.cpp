// Interoperability with another RFC 2217 implementation: Debian's python3-serial, as a
// server in front of a looped-back port (our device as its client), and as a client of
// the simulator's server.
#include <gtest/gtest.h>

#include "comport/device_rfc2217.h"
#include "rfc2217/python_process.h"
#include "rfc2217/test_util.h"
#include "terminal-sim/rfc2217_server.h"

namespace vexcard::rfc2217_test {
namespace {

using namespace comport;

class Interop : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!PythonProcess::hasPyserial()) {
      GTEST_SKIP() << "/usr/bin/python3 cannot import serial: install python3-serial "
                      "(scripts/bootstrap does)";
    }
  }
};

TEST_F(Interop, OurDeviceAgainstPyserialsPortManager) {
  PythonProcess server("pyserial_server.py", {});
  std::string line;
  ASSERT_TRUE(server.readLine(line)) << server.transcript();
  ASSERT_EQ(line.rfind("PORT ", 0), 0u) << line;
  auto device = openRfc2217Device("rfc2217://127.0.0.1:" + line.substr(5));
  ASSERT_NE(device, nullptr);
  auto events = std::make_unique<EventCollector>(*device);

  LineSettings s;
  s.baudRate = 19200;
  s.byteSize = 7;
  s.parity = 2;
  s.stopBits = 2;
  ASSERT_TRUE(device->setSettings(s));
  for (const char* want : {"baudrate 19200", "bytesize 7", "parity E", "stopbits 2"}) {
    EXPECT_TRUE(server.expectLine(want)) << want << "\n" << server.transcript();
  }
  s.baudRate = 230400;  // the port refuses it
  EXPECT_FALSE(device->setSettings(s));
  ASSERT_TRUE(device->getSettings(s));
  EXPECT_EQ(s.baudRate, 19200u);

  std::uint32_t status = 0;
  ASSERT_TRUE(device->setRts(true));
  ASSERT_TRUE(events->waitEvent(kEvCts));
  ASSERT_TRUE(device->getModemStatus(status));
  EXPECT_EQ(status, kMsCtsOn);
  ASSERT_TRUE(device->setDtr(true));
  ASSERT_TRUE(events->waitEvent(kEvDsr));
  ASSERT_TRUE(device->setRts(false));
  ASSERT_TRUE(events->waitEvent(kEvCts));
  ASSERT_TRUE(device->getModemStatus(status));
  EXPECT_EQ(status, kMsDsrOn);
  EXPECT_TRUE(server.expectLine("rts 0")) << server.transcript();

  Bytes out;
  for (int b = 0; b < 512; ++b) out.push_back(static_cast<std::uint8_t>(255 - b % 256));
  std::uint32_t written = 0;
  ASSERT_TRUE(device->write(out.data(), static_cast<std::uint32_t>(out.size()), written));
  ASSERT_TRUE(events->waitData(out.size()));
  EXPECT_EQ(events->data(), out);

  EXPECT_TRUE(device->purge(kPurgeRxAbort | kPurgeRxClear));
  EXPECT_TRUE(server.expectLine("purge in")) << server.transcript();

  events.reset();
  device.reset();
  EXPECT_EQ(server.finish(), 0) << server.transcript();
}

TEST_F(Interop, PyserialsClientAgainstOurServer) {
  LoopbackDevice line;
  sim::Rfc2217Server server(line);
  ASSERT_TRUE(server.start("127.0.0.1", 0));
  PythonProcess client("pyserial_client.py", {std::to_string(server.port())});
  const int status = client.finish();
  EXPECT_EQ(status, 0) << client.transcript();
  EXPECT_NE(client.transcript().find("data\nrefused baud rate\ndone\n"), std::string::npos)
      << client.transcript();
  const LineSettings s = line.settings();
  EXPECT_EQ(s.baudRate, 19200u);
  EXPECT_EQ(s.byteSize, 7);
  EXPECT_EQ(s.parity, 2);
  EXPECT_EQ(s.stopBits, 2);
  EXPECT_TRUE(line.rts());
  EXPECT_FALSE(line.dtr());
}

}  // namespace
}  // namespace vexcard::rfc2217_test
