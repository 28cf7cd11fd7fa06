// Telnet framing for the network serial port (RFC 854/855 with the COM-PORT-OPTION of
// RFC 2217): the byte codes, IAC doubling, a stream parser and the option negotiation.
// Both ends use it: the RFC 2217 device (client) and the simulator's RFC 2217 server.
//
// Everything here works on bytes only; no class is thread-safe (the owner's lock guards
// it).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace vexcard::comport::telnet {

inline constexpr std::uint8_t kIac = 255;
inline constexpr std::uint8_t kDont = 254;
inline constexpr std::uint8_t kDo = 253;
inline constexpr std::uint8_t kWont = 252;
inline constexpr std::uint8_t kWill = 251;
inline constexpr std::uint8_t kSb = 250;
inline constexpr std::uint8_t kSe = 240;

inline constexpr std::uint8_t kOptBinary = 0;
inline constexpr std::uint8_t kOptEcho = 1;
inline constexpr std::uint8_t kOptSuppressGoAhead = 3;
inline constexpr std::uint8_t kOptComPort = 44;

// COM-PORT-OPTION commands, client to server; the server answers with the code + 100.
inline constexpr std::uint8_t kSignature = 0;
inline constexpr std::uint8_t kSetBaudRate = 1;
inline constexpr std::uint8_t kSetDataSize = 2;
inline constexpr std::uint8_t kSetParity = 3;
inline constexpr std::uint8_t kSetStopSize = 4;
inline constexpr std::uint8_t kSetControl = 5;
inline constexpr std::uint8_t kNotifyLineState = 6;
inline constexpr std::uint8_t kNotifyModemState = 7;
inline constexpr std::uint8_t kFlowControlSuspend = 8;
inline constexpr std::uint8_t kFlowControlResume = 9;
inline constexpr std::uint8_t kSetLineStateMask = 10;
inline constexpr std::uint8_t kSetModemStateMask = 11;
inline constexpr std::uint8_t kPurgeData = 12;
inline constexpr std::uint8_t kServerOffset = 100;

// SET-CONTROL values.
inline constexpr std::uint8_t kControlNoFlowControl = 1;
inline constexpr std::uint8_t kControlSoftwareFlowControl = 2;
inline constexpr std::uint8_t kControlHardwareFlowControl = 3;
inline constexpr std::uint8_t kControlDtrOn = 8;
inline constexpr std::uint8_t kControlDtrOff = 9;
inline constexpr std::uint8_t kControlRtsOn = 11;
inline constexpr std::uint8_t kControlRtsOff = 12;

// NOTIFY-LINESTATE bits.
inline constexpr std::uint8_t kLineOverrun = 0x02;
inline constexpr std::uint8_t kLineParity = 0x04;
inline constexpr std::uint8_t kLineFraming = 0x08;
inline constexpr std::uint8_t kLineBreak = 0x10;

// NOTIFY-MODEMSTATE bits: the states are the Win32 MS_*_ON bits, the low nibble the
// changes.
inline constexpr std::uint8_t kModemCtsDelta = 0x01;
inline constexpr std::uint8_t kModemDsrDelta = 0x02;
inline constexpr std::uint8_t kModemRingTrailingEdge = 0x04;
inline constexpr std::uint8_t kModemRlsdDelta = 0x08;
inline constexpr std::uint8_t kModemCts = 0x10;
inline constexpr std::uint8_t kModemDsr = 0x20;
inline constexpr std::uint8_t kModemRing = 0x40;
inline constexpr std::uint8_t kModemRlsd = 0x80;

// PURGE-DATA values.
inline constexpr std::uint8_t kPurgeReceive = 1;
inline constexpr std::uint8_t kPurgeTransmit = 2;
inline constexpr std::uint8_t kPurgeBoth = 3;

// Appends data to out with every 0xFF doubled.
void appendEscaped(std::vector<std::uint8_t>& out, const std::uint8_t* data, std::size_t count);

// IAC SB COM-PORT-OPTION command value... IAC SE, with the value escaped.
std::vector<std::uint8_t> comPortCommand(std::uint8_t command,
                                         std::initializer_list<std::uint8_t> value);
std::vector<std::uint8_t> comPortCommand(std::uint8_t command, const std::uint8_t* value,
                                         std::size_t count);
// The same for a four-byte value in network order (SET-BAUDRATE).
std::vector<std::uint8_t> comPortCommand32(std::uint8_t command, std::uint32_t value);

// Splits an incoming telnet stream into data, option negotiations and subnegotiations.
// Survives any input: a subnegotiation longer than kMaxSubnegotiation bytes is dropped
// whole, stray commands are ignored.
class Parser {
 public:
  static constexpr std::size_t kMaxSubnegotiation = 64;

  struct Sink {
    virtual ~Sink() = default;
    // A run of data bytes (IAC doubling removed).
    virtual void onData(const std::uint8_t* data, std::size_t count) = 0;
    // WILL, WONT, DO or DONT for option.
    virtual void onNegotiation(std::uint8_t command, std::uint8_t option) = 0;
    // The body between IAC SB and IAC SE: the option, then its bytes (doubling removed).
    virtual void onSubnegotiation(const std::uint8_t* body, std::size_t count) = 0;
  };

  void feed(const std::uint8_t* data, std::size_t count, Sink& sink);
  void reset();

 private:
  enum class State : std::uint8_t { kData, kIac, kNegotiate, kSub, kSubIac };
  void command(std::uint8_t b);

  State state_ = State::kData;
  std::uint8_t verb_ = 0;
  std::array<std::uint8_t, kMaxSubnegotiation> sub_{};
  std::size_t subLength_ = 0;
  bool subOverflow_ = false;
};

// Option negotiation after RFC 1143 without its queue: each side of each option is off,
// on, or asked for. Requests and answers are appended to an output buffer the caller
// sends; an option is never answered twice in a row, so two ends cannot loop.
class Negotiator {
 public:
  enum class State : std::uint8_t { kOff, kOn, kRequested };

  // local: options this end performs when asked (DO is answered with WILL); remote:
  // options this end lets the peer perform (WILL is answered with DO). Others are refused.
  Negotiator(std::initializer_list<std::uint8_t> local, std::initializer_list<std::uint8_t> remote);

  void requestLocal(std::uint8_t option, std::vector<std::uint8_t>& out);   // WILL
  void requestRemote(std::uint8_t option, std::vector<std::uint8_t>& out);  // DO
  void receive(std::uint8_t command, std::uint8_t option, std::vector<std::uint8_t>& out);

  State local(std::uint8_t option) const { return local_[option]; }
  State remote(std::uint8_t option) const { return remote_[option]; }

 private:
  std::array<State, 256> local_{};
  std::array<State, 256> remote_{};
  std::array<bool, 256> localOk_{};
  std::array<bool, 256> remoteOk_{};
};

}  // namespace vexcard::comport::telnet
