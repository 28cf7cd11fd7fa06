// The network serial port: a SerialDevice behind an RFC 2217 server (a serial device
// server, ser2net in RFC 2217 mode, or the simulator's server).
//
// The device speaks the client side of the Telnet COM Port Control Option over one TCP
// connection: line settings, RTS and DTR, modem-state and line-state notifications,
// receive purges and data with IAC doubling. A reader thread of its own turns the stream
// into a receive queue and events; docs/rfc2217.md lists what is and is not carried.
//
// Beyond the SerialDevice contract: every setEventMask() ends a pending wait with mask 0
// and a wait with mask 0 fails at once; delivered events always come as
// kCompletedAfterPending; the event bit 0x2000 is accepted and never reported;
// cancelWrite() ends the write in progress or, when none is, the next one. A lost
// connection is logged; waits go on, writes drop their bytes, line changes and settings
// fail until the next setRts/setDtr/setSettings/purge makes the connection again (with a
// bounded back-off between failed tries) and restores the settings, masks and lines.
// Thread-safe as the contract requires.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "comport/serial_device.h"

namespace vexcard::comport {

// Connects to the server named by url ("rfc2217://HOST:PORT"; an IPv6 host in brackets)
// and agrees the options. nullptr when the url is malformed, the connection cannot be made
// within the connect time-out, or the server does not agree to COM-PORT-OPTION in time.
std::unique_ptr<SerialDevice> openRfc2217Device(std::string_view url);

// Splits an rfc2217:// url. False (host and port untouched) when it is not one.
bool parseRfc2217Url(std::string_view url, std::string& host, std::uint16_t& port);

}  // namespace vexcard::comport
