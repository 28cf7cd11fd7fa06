// The log file writer: one module-wide rotating text log.
//
// Every line is appended synchronously (open, append, close) under one lock that exists
// from load time, so WriteLog may be called from any thread at any time, also before
// InitLog (it then writes nothing). WriteLog never throws and never reports failure.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vexcard::logging {

// Rotation threshold in bytes.
inline constexpr std::int32_t kLogSizeLimit = 10485760;

// Sets LogPath to the host executable's path with its extension replaced by extension,
// and empties the list of pending lines.
void InitLog(std::string_view extension);

// The active log file path; empty means nothing is written.
std::string LogPath();
void SetLogPath(std::string path);

// The driver's fixed log path on this platform ("C:\DOVA\LogFiles\VexCard.log" on Windows).
std::string DefaultLogPath();

// Formats and appends one line of the given type (0..6, prefix "-+?!#$^").
void WriteLog(std::uint8_t type, std::string_view text) noexcept;

// Archives the active file into generations .0 .. .10 when it has grown beyond limit.
void RotateLog(std::int32_t limit);

}  // namespace vexcard::logging
