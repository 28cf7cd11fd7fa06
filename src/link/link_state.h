// Link states: the driver's own verdict on the last exchange with the terminal, held in
// the driver's LinkState. Their texts are in status_texts.h.
#pragma once

#include <cstdint>

namespace vexcard::link {

inline constexpr std::int32_t kLinkOk = 0;               // a well-formed reply arrived
inline constexpr std::int32_t kLinkInProgress = 100;     // an attempt is under way
inline constexpr std::int32_t kLinkBadTerminator = 208;  // the byte after the checksum was not ETX
inline constexpr std::int32_t kLinkPortTimeout = 210;    // not produced by this driver
inline constexpr std::int32_t kLinkSizeMismatch = 219;   // not produced by this driver
inline constexpr std::int32_t kLinkSendFailed = 220;     // writing the request raised
inline constexpr std::int32_t kLinkReplyTimeout = 221;   // no complete reply in time
inline constexpr std::int32_t kLinkBadChecksum = 222;    // not produced by this driver
inline constexpr std::int32_t kLinkBadHeader = 223;      // not produced by this driver
inline constexpr std::int32_t kLinkBadStatus = 241;      // not produced by this driver
inline constexpr std::int32_t kLinkNotReady = 246;       // the terminal refused with "N"
inline constexpr std::int32_t kLinkPortSuffix = 247;     // not produced by this driver

}  // namespace vexcard::link
