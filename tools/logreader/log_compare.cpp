#include "logreader/log_compare.h"

#include <algorithm>

#include "logreader/log_decoder.h"
#include "logreader/log_file.h"
#include "logreader/replay_script.h"
#include "logreader/text.h"

namespace vexcard::logreader {

namespace {

// The dump of a request text with its run fields and checksum as "..".
std::string comparableSend(std::string_view dump) {
  const auto chars = dumpBytes(dump);
  if (!chars) return std::string(dump);
  const DecodedRequest r = parseRequestText(*chars);
  std::vector<bool> hide(chars->size(), false);
  bool any = false;
  if (r.problem.empty()) {
    for (std::size_t k = 0; k < r.command.size(); ++k) {
      if (!isRunField(r.command, k)) continue;
      // Characters of "60", the length and the packet index come first.
      hide[6 + 2 * k] = hide[7 + 2 * k] = any = true;
    }
  }
  if (any) hide[chars->size() - 3] = hide[chars->size() - 2] = true;
  std::string out;
  for (std::size_t k = 0; k < chars->size(); ++k) {
    out += hide[k] ? " .." : dumpText({(*chars)[k]});
  }
  return out;
}

// "rfc2217://HOST:PORT" with ".." for the port, which the server picks anew in each run.
std::string withoutNetworkPort(std::string text) {
  static constexpr std::string_view kScheme = "rfc2217://";
  for (std::size_t at = text.find(kScheme); at != std::string::npos;
       at = text.find(kScheme, at + 1)) {
    const std::size_t colon = text.find(':', at + kScheme.size());
    if (colon == std::string::npos) break;
    std::size_t end = colon + 1;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    if (end > colon + 1) text.replace(colon + 1, end - colon - 1, "..");
  }
  return text;
}

}  // namespace

std::vector<std::string> comparableLines(std::string_view log) {
  std::vector<std::string> out;
  for (const std::string_view raw : splitLines(log)) {
    const std::optional<LogLine> line = parseLogLine(raw);
    if (!line || line->text == "CTS_ON" || line->text == "CTS_OFF") continue;
    // The tag sits between the stamp (and its blank) and the text.
    const std::size_t tagAt = std::min(raw.size(), 2 + line->stamp.size() + 1);
    const std::size_t textAt = static_cast<std::size_t>(line->text.data() - raw.data());
    std::string text(raw.substr(0, 2));
    if (textAt > tagAt) text += raw.substr(tagAt, textAt - tagAt);
    if (line->port && line->port->text.substr(0, 5) == "Send:") {
      const std::size_t dumpAt = static_cast<std::size_t>(line->port->text.data() - raw.data()) + 5;
      text += raw.substr(textAt, dumpAt - textAt);
      text += comparableSend(raw.substr(dumpAt));
    } else {
      text += withoutNetworkPort(std::string(raw.substr(textAt)));
    }
    out.push_back(utf8(text));
  }
  return out;
}

}  // namespace vexcard::logreader
