// The port's log lines: port lines, hex dumps, line control and the refused-RTS warning.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

#include "comport/com_port.h"
#include "comport/serial_errors.h"
#include "logging/logger.h"
#include "port_fixture.h"
#include "support/temp_folder.h"

namespace vexcard::comport::test {
namespace {

// The texts of the log's lines (after the "[] " of the tag), in order.
std::vector<std::string> logTexts(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> texts;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto tag = line.find("[] ");
    if (tag != std::string::npos) texts.push_back(line.substr(tag + 3));
  }
  return texts;
}

class ComPortLogTest : public PortFixture {
 protected:
  ComPortLogTest() {
    logging::testing::resetLogState();
    logging::SetLogPath(file());
  }
  ~ComPortLogTest() override { logging::testing::resetLogState(); }
  std::string file() const { return dir / "VexCard.log"; }

  vexcard::test::TempFolder dir;
};

TEST(PortTexts, HexDumpAndPortLineFormats) {
  const std::uint8_t bytes[] = {0x60, 0x0A, 0xFF};
  EXPECT_EQ(formatHexDump(bytes, 2, "Send:"), "Send: 60 0A");
  EXPECT_EQ(formatHexDump(bytes + 2, 1, ""), " FF");
  EXPECT_EQ(formatHexDump(bytes, 0, "Send:"), "Send:");
  EXPECT_EQ(formatPortLine(7, "text"), "[COM7]:  text");
}

TEST_F(ComPortLogTest, DumpsAndLineControlAreLogged) {
  TestPort port(kPort);
  const std::uint8_t bytes[] = {0x60, 0x0A};
  port.LogHexDump(bytes, 2, "Send:");
  port.LogHexDump(bytes, 0, "Empty");
  port.LogPortLine("plain");
  port.SetLines(true);
  port.SetLines(false);
  EXPECT_EQ(logTexts(file()), (std::vector<std::string>{"[COM7]:  Send: 60 0A", "[COM7]:  Empty",
                                                        "[COM7]:  plain", "RTS_ON", "RTS_OFF"}));
}

TEST_F(ComPortLogTest, FailedOpenLogsTheDeviceAndTheSystemsReason) {
  const std::string missing = dir / "no-such-device";
  const std::string reason = missing + ": No such file or directory";
  setenv("VEXCARD_COM8", missing.c_str(), 1);
  try {
    TestPort port(8);
    ADD_FAILURE() << "opened";
  } catch (const EOpenPortFail& e) {
    EXPECT_EQ(e.message(), "Can't open COM8");
    EXPECT_EQ(e.reason(), reason);
  }
  unsetenv("VEXCARD_COM8");
  EXPECT_EQ(logTexts(file()), (std::vector<std::string>{"[COM8]:  Can't open " + reason}));
}

TEST_F(ComPortLogTest, RefusedRtsChangeWarnsBeforeTheLineIsLogged) {
  TestPort closed(0);  // no device: the RTS change cannot be made
  closed.SetLines(true);
  EXPECT_EQ(logTexts(file()), (std::vector<std::string>{"BEEP", "RTS_ON"}));
}

TEST_F(ComPortLogTest, AnErrorInTheHookIsLoggedAsAPortLine) {
  TestPort port(kPort);
  port.throwOnce();
  sendFromFar({1});
  ASSERT_TRUE(port.waitForTotal(1));
  ASSERT_TRUE(line->waitUntilIdle(0));
  EXPECT_EQ(logTexts(file()), (std::vector<std::string>{"[COM7]:  hook failed"}));
}

}  // namespace
}  // namespace vexcard::comport::test
