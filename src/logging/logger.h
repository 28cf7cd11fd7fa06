// The log file writer: one module-wide rotating text log.
//
// Every line is appended synchronously (open, append, close) under one lock that exists
// from load time, so WriteLog may be called from any thread at any time, also before
// InitLog (it then writes nothing). WriteLog never throws and never reports failure, and
// never blocks on the file: only a regular file is appended to (a FIFO or device at the
// path switches logging off as a failed open does). The lines of one call reach the file
// whole or not at all.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vexcard::logging {

// Rotation threshold in bytes.
inline constexpr std::int32_t kLogSizeLimit = 10485760;

// Sets LogPath to the host executable's path with its extension replaced by extension
// (empty when that path cannot be found), and empties the list of pending lines.
void InitLog(std::string_view extension);

// The active log file path; empty means nothing is written.
std::string LogPath();
void SetLogPath(std::string path);

// The driver's fixed log path on this platform: "VexCard.log" in platform::defaultLogFolder()
// ("C:\DOVA\LogFiles\VexCard.log" on Windows).
std::string DefaultLogPath();

// A path that DefaultLogPath() returns instead of the platform's, for a program that runs
// the driver in its own process and lets its user choose the file (the vexcard command's
// --log), and for the log path of vexcard::Env (driver/env.h). Empty restores the
// platform's folder. Takes effect for drivers constructed afterwards. Thread-safe.
void setDefaultLogPathOverride(std::string path);

// A function that sees the text of every WriteLog call (Windows-1251, without prefix and
// time stamp), on the calling thread, before the file is written and also while file
// logging is off. It must be thread-safe, must not throw and must not log. nullptr
// removes it. For tools that show an exchange's progress; the driver installs none.
using LineObserver = void (*)(std::string_view text) noexcept;
void setLineObserver(LineObserver observer);

// Formats and appends one line of the given type (0..6, prefix "-+?!#$^"; a type above 6
// takes the prefix of 6).
void WriteLog(std::uint8_t type, std::string_view text) noexcept;

// Archives the active file into generations .0 .. .10 when it has grown beyond limit.
// Takes the log's lock; failures are ignored.
void RotateLog(std::int32_t limit);

namespace testing {
// Returns the module-wide log state to what it is at load time: LogPath empty, no pending
// lines, and the next successful open counted as the first (preceded by an empty line).
// For tests only.
void resetLogState();
}  // namespace testing

}  // namespace vexcard::logging
