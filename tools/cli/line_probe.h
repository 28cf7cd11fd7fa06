// The line probe: one short, bounded exchange with the terminal that names what is wrong
// with the line (vexcard check and find-port, line_check.h).
//
// The probe does not go through the driver: the driver retries for up to 45 s on a dead
// line and folds every failure into "Ошибка обмена с ридером". The probe opens the port
// through the same device mapping (the platform's COM n, VEXCARD_COM<n>, the in-process
// simulator), raises RTS and DTR as the driver does, waits once for the terminal's CTS
// answer, sends one tsReset (harmless: the terminal only answers it) and parses the reply
// with the driver's own receiver. It advances the packet counter as any request does.
//
// Not thread-safe: one probe at a time per process (the settings store is shared).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vexcard::cli {

// What a probe found, worst first. Each has its own exit code (verdictExitCode).
enum class LineVerdict : std::uint8_t {
  kNoPort,   // the port cannot be opened (no such device, busy, no access)
  kNoCts,    // the port opens but nothing answers the hand-shake (cable, power, wrong port)
  kNoReply,  // the hand-shake is answered but no reply comes (wrong terminal or settings)
  kSpoiled,  // bytes come but no good reply (noise: a bad checksum, a wrong terminator)
  kRefused,  // a good reply that refuses: a non-zero reply code, or "N" (not ready)
  kOk,       // a good reply with reply code 0
};

// Exit codes of `vexcard check` and `vexcard find-port` beside kExitOk and kExitUsage.
inline constexpr int kExitNoPort = 10;
inline constexpr int kExitNoCts = 11;
inline constexpr int kExitNoReply = 12;
inline constexpr int kExitSpoiled = 13;
inline constexpr int kExitRefused = 14;

// How long a probe waits. A dead line costs ctsWaitMs, a mute terminal ctsWaitMs plus
// replyWaitMs; an answer ends either wait at once.
struct ProbeTiming {
  std::uint32_t ctsWaitMs = 1000;  // the driver's own wait for one CTS answer
  std::uint32_t replyWaitMs = 3000;
};

struct ProbeResult {
  LineVerdict verdict = LineVerdict::kNoPort;
  std::string detail;             // UTF-8: why the port did not open, the reply code's text, ...
  std::uint32_t ctsMs = 0;        // from raising RTS to the CTS answer
  std::uint32_t roundTripMs = 0;  // from writing the request to the verdict
  std::optional<std::uint8_t> replyCode;
  std::size_t bytesReceived = 0;
};

// One probe of COM port (1..255) as the device mapping opens it.
ProbeResult probeLine(unsigned port, const ProbeTiming& timing);

// "ok", "no-port", "no-cts", "no-reply", "spoiled", "refused".
const char* verdictName(LineVerdict verdict);
int verdictExitCode(LineVerdict verdict);
// One line for a person: the verdict and what to look at.
std::string verdictText(const ProbeResult& result, const ProbeTiming& timing);

// What COM n stands for on this platform, for the user: VEXCARD_COM<n> when set, else
// the platform's device (/dev/ttyS<n-1>, \\.\COM<n>).
std::string portDeviceName(unsigned port);

}  // namespace vexcard::cli
