// The driver's log as text: its lines, their parts (type character, time stamp, tag, text,
// the port prefix) and the hex dumps that request and reply lines carry.
//
//   + 05.03 14:07:09.123 [] [COM1]:  Send: 36 30 30 33 30 35 30 30 31 39 37 46 03
//   + 05.03 14:07:09.161 [] [COM1]:  Команда выполнена:  05 00 00
//   + 05.03 14:07:09.162 [] RTS_OFF
//
// Pure functions over Windows-1251 text; thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexcard::logreader {

// The lines of a log (LF or CR LF line ends), without their ends.
std::vector<std::string_view> splitLines(std::string_view log);

// A port line of the log split into its parts.
struct PortLine {
  unsigned port = 0;
  std::string_view text;  // after "[COMn]:  "
};
// Finds "[COMn]:  " in a log line; empty when the line has none.
std::optional<PortLine> findPortLine(std::string_view line);

// A log line in its parts.
struct LogLine {
  char type = 0;           // the type character ("+" for every line the driver writes)
  std::string_view stamp;  // "05.03 14:07:09.123"
  double ms = 0;           // the stamp in milliseconds from the first of January, with
                           // 31-day months: enough to order a log and measure within it
  std::string_view text;   // the caller's text, after "[tag] "
  std::optional<PortLine> port;
};
// Empty optional for a line that is not "C dd.mm hh:mm:ss.zzz [tag] text" (the empty line
// the driver writes first after loading, or a line cut short).
std::optional<LogLine> parseLogLine(std::string_view line);

// The bytes of a " XX XX ..." dump (upper-case hex pairs separated by blanks); empty optional
// when a token is not two hex digits.
std::optional<std::vector<std::uint8_t>> dumpBytes(std::string_view text);

// Where the run of " XX" tokens at the end of text begins (text.size() when there is none).
std::size_t trailingDumpStart(std::string_view text);

// A " XX XX ..." dump of bytes, as the driver writes it after a caption.
std::string dumpText(const std::vector<std::uint8_t>& bytes);

}  // namespace vexcard::logreader
