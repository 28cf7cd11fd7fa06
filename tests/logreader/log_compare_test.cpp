// Comparable lines: no stamps, no CTS lines, the run fields of a request and the server's
// port as "..", and lines cut short taken as they are.
#include "logreader/log_compare.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vexcard::logreader {
namespace {

TEST(LogCompareTest, WhatDiffersBetweenRunsIsLeftOut) {
  const std::string log =
      "\r\n"
      "+ 09.12 12:08:46.887 [] [COM7]:  Send: 36 30 30 46 30 34 30 33 31 41 30 43 30 39 30 43 "
      "30 39 30 45 39 42 30 43 31 45 30 30 30 30 30 30 30 31 46 34 03\r\n"
      "+ 09.12 12:08:46.888 [] CTS_OFF\r\n"
      "+ 09.12 12:08:47.000 [] rfc2217://127.0.0.1:45897: connection made again\r\n"
      "+ 09.12 12:08:47.0";
  const std::vector<std::string> expected = {
      "+ [] [COM7]:  Send: 36 30 30 46 30 34 30 33 .. .. .. .. .. .. .. .. .. .. .. .. 39 42 30 "
      "43 31 45 30 30 30 30 30 30 30 31 .. .. 03",
      "+ [] rfc2217://127.0.0.1:..: connection made again", "+ "};
  EXPECT_EQ(comparableLines(log), expected);
}

}  // namespace
}  // namespace vexcard::logreader
