// A driver's log as two runs of the same host operations against a terminal that answers
// the same way write it: what golden logs are compared by.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vexcard::logreader {

// The lines of log in UTF-8, each as "+ [tag] text" without its time stamp; without the
// "CTS_ON" and "CTS_OFF" lines, which the port's event thread writes in either order with
// the lines of the exchange; and with ".." for the characters of a request dump that
// differ between runs: those of the fields isRunField names and of the checksum that
// covers them; and with ".." for the port of a network serial port's address
// ("rfc2217://127.0.0.1:.."). Lines that are not log lines (the empty first line) are left
// out.
std::vector<std::string> comparableLines(std::string_view log);

}  // namespace vexcard::logreader
