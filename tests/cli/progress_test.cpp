// Progress lines read from the driver's log lines as they are written.
#include "cli/progress.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "logging/logger.h"
#include "platform/codepage.h"

namespace vexcard::cli {
namespace {

using namespace vexcard::literals;

// The "Send:" line of tsReadCard with packet index 7: "6002070A6F" and ETX.
const std::string kSend = "[COM1]:  Send: 36 30 30 32 30 37 30 41 36 46 03";

TEST(ProgressTest, AttemptsAndFailuresOfAnExchange) {
  logging::testing::resetLogState();  // nothing is written to a file
  std::ostringstream err;
  {
    Progress progress(err, true);
    logging::WriteLog(1, "RTS_ON");
    logging::WriteLog(1, kSend);
    EXPECT_EQ(err.str(), "\r\033[KtsReadCard: attempt 1 of 5, waiting for the terminal...");
    logging::WriteLog(1, "[COM1]:  " + std::string("Прием:Ошибка таймаута подтверждения"_w1251));
    logging::WriteLog(1, kSend);
    logging::WriteLog(1, "Не удалось связаться с терминалом"_w1251);
    progress.clear();
  }
  EXPECT_EQ(err.str(),
            "\r\033[KtsReadCard: attempt 1 of 5, waiting for the terminal..."
            "\r\033[KtsReadCard: attempt 1 of 5 failed: no complete reply within the wait\n"
            "\r\033[KtsReadCard: attempt 2 of 5, waiting for the terminal..."
            "\r\033[Kthe terminal does not answer the hand-shake, trying again\n");
  // Gone with its object: later lines show nothing.
  const std::string before = err.str();
  logging::WriteLog(1, kSend);
  EXPECT_EQ(err.str(), before);
}

TEST(ProgressTest, DisabledShowsNothing) {
  std::ostringstream err;
  {
    Progress progress(err, false);
    logging::WriteLog(1, kSend);
  }
  EXPECT_EQ(err.str(), "");
}

}  // namespace
}  // namespace vexcard::cli
