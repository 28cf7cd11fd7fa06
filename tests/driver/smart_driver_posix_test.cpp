// The driver on a pseudo-terminal, a device without modem lines: what the port reports at
// opening, and a modem status that cannot be read, reach the log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "comport/com_port.h"
#include "driver/driver_factory.h"
#include "driver/smart_driver.h"
#include "platform/codepage.h"
#include "support/driver_env.h"

namespace vexcard::driver {
namespace {

using namespace vexcard::literals;

TEST(SmartDriverOnAPseudoTerminal, MissingModemLinesAreLogged) {
  test::DriverEnv env;
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string path = ptsname(master);
  setenv("VEXCARD_COM44", path.c_str(), 1);
  auto d = createDriver(44);
  unsetenv("VEXCARD_COM44");
  EXPECT_EQ(env.countLogPrefix("Modem lines not supported by " + path + ": "), 1u);
  d->ModemStatusChanged(comport::kEvCts);
  EXPECT_FALSE(d->CtsEvent.wait(0));
  EXPECT_EQ(env.countLog(std::string("CTS: не удалось прочитать состояние линий модема"_w1251)),
            1u);
  d.reset();
  close(master);
}

}  // namespace
}  // namespace vexcard::driver
