// The log file writer.
//
// Module-wide state lives in one object that is built on first use and never destroyed,
// so the lock is usable from load time on and a thread that logs while the process exits
// never meets a destroyed lock or path. `LogLock` (a std::mutex) guards the path, the
// pending lines and the first-write flag, and is held across rotation, open, write and
// close, so lines of different threads never mix.
#include "logging/logger.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <deque>
#include <mutex>
#include <new>

#include "platform/clock.h"
#include "platform/files.h"

namespace vexcard::logging {
namespace {

constexpr std::string_view kPrefixes = "-+?!#$^";
// The text between the brackets of every line; empty in this system.
constexpr std::string_view kLogTag = "";
constexpr std::string_view kEndOfLine = "\r\n";
constexpr int kGenerations = 11;  // ".0" .. ".10"

struct LogState {
  std::mutex lock;                  // LogLock
  std::string path;                 // LogPath; empty: nothing is written
  std::deque<std::string> pending;  // PendingLines: file lines without their line end
  bool first_write = true;          // FirstWrite
  std::string default_override;     // setDefaultLogPathOverride
};

std::atomic<LineObserver> g_observer{nullptr};

LogState& state() {
  alignas(LogState) static unsigned char storage[sizeof(LogState)];
  static LogState* const s = new (storage) LogState();
  return *s;
}

// "dd.mm hh:mm:ss.zzz" of the current local time, written into buf (no allocation).
std::string_view timeStamp(std::array<char, 32>& buf) {
  const platform::DateTimeParts p = platform::decodeOle(platform::nowOle());
  const int n = std::snprintf(buf.data(), buf.size(), "%02d.%02d %02d:%02d:%02d.%03d", p.day,
                              p.month, p.hour, p.minute, p.second, p.millisecond);
  return std::string_view(buf.data(), n < 0 ? 0 : std::min<std::size_t>(n, buf.size() - 1));
}

// The file line: prefix character, blank, then "%s [%s] %s" of time stamp, tag and text.
// Types above 6 take the prefix of type 6. Its one allocation leaves room for the line end.
std::string fileLine(std::uint8_t type, std::string_view text) {
  std::array<char, 32> buf;
  const std::string_view stamp = timeStamp(buf);
  std::string line;
  line.reserve(2 + stamp.size() + 3 + kLogTag.size() + 2 + text.size() + kEndOfLine.size());
  line += kPrefixes[type < kPrefixes.size() ? type : kPrefixes.size() - 1];
  line += ' ';
  line += stamp;
  line += " [";
  line += kLogTag;
  line += "] ";
  line += text;
  return line;
}

// The path with its extension replaced; a name without one gets the extension appended.
std::string changeFileExt(std::string_view path, std::string_view extension) {
  std::string delimiters(platform::kPathDelimiters);
  delimiters += '.';
  const std::size_t pos = path.find_last_of(delimiters);
  std::string result(pos != std::string_view::npos && path[pos] == '.' ? path.substr(0, pos)
                                                                       : path);
  result += extension;
  return result;
}

// Caller holds LogLock. Every failure is ignored.
void rotateLocked(const std::string& path, std::int32_t limit) {
  platform::rotateBySize(path, limit, kGenerations);
}

}  // namespace

void InitLog(std::string_view extension) {
  const std::string exe = platform::hostExecutablePath();
  // An unknown program path leaves the log off rather than writing to a relative name.
  std::string path = exe.empty() ? std::string() : changeFileExt(exe, extension);
  LogState& s = state();
  std::lock_guard<std::mutex> g(s.lock);
  s.path = std::move(path);
  s.pending.clear();
}

std::string LogPath() {
  LogState& s = state();
  std::lock_guard<std::mutex> g(s.lock);
  return s.path;
}

void SetLogPath(std::string path) {
  LogState& s = state();
  std::lock_guard<std::mutex> g(s.lock);
  s.path = std::move(path);
}

void setDefaultLogPathOverride(std::string path) {
  LogState& s = state();
  std::lock_guard<std::mutex> g(s.lock);
  s.default_override = std::move(path);
}

void setLineObserver(LineObserver observer) { g_observer.store(observer); }

std::string DefaultLogPath() {
  {
    LogState& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    if (!s.default_override.empty()) return s.default_override;
  }
  std::string path = platform::defaultLogFolder();
  path += platform::kPathSeparator;
  path += "VexCard.log";
  return path;
}

void WriteLog(std::uint8_t type, std::string_view text) noexcept {
  // Every failure, before or under the lock, is discarded; the guard releases the lock.
  try {
    if (const LineObserver observer = g_observer.load()) observer(text);
    // The time stamp is taken before the lock.
    std::string line = fileLine(type, text);
    LogState& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    if (s.path.empty()) return;
    rotateLocked(s.path, kLogSizeLimit);
    platform::OutputFile file;
    if (!file.openAppend(s.path) && !file.create(s.path)) {
      // Logging stays off until a new path is set; the line waits for that.
      s.path.clear();
      s.pending.push_back(std::move(line));
      return;
    }
    // One write per call: the lines of a call reach the file together or not at all (a
    // write that fails part-way is cut back). The empty first line and the pending lines
    // count as written only once the write has succeeded; this call's line is then lost.
    // Usually the call's own line is all there is to write.
    if (!s.first_write && s.pending.empty()) {
      line += kEndOfLine;
      file.write(line);
      file.close();
      return;
    }
    std::string out;
    if (s.first_write) out += kEndOfLine;
    for (const std::string& p : s.pending) {
      out += p;
      out += kEndOfLine;
    }
    out += line;
    out += kEndOfLine;
    if (file.write(out)) {
      s.first_write = false;
      s.pending.clear();
    }
    file.close();
  } catch (...) {
  }
}

void RotateLog(std::int32_t limit) {
  try {
    LogState& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    rotateLocked(s.path, limit);
  } catch (...) {
    // Rotation failures are ignored.
  }
}

namespace testing {

void resetLogState() {
  LogState& s = state();
  std::lock_guard<std::mutex> g(s.lock);
  s.path.clear();
  s.pending.clear();
  s.first_write = true;
}

}  // namespace testing

}  // namespace vexcard::logging
