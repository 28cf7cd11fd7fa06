// The bench's rig: the driver as GeTDriver hands it to a host, on COM1 of a virtual line with
// the terminal simulator on the other end, settings and log in a fresh folder of TMPDIR (so
// the packet counter's flushes and the log's appends hit the same file system as on a real
// machine, not memory).
//
// The line is paced (every character takes 10 bits at 9600 baud on both ends) or not (bytes
// cross at once). The timing policy is installed for the rig's lifetime.
//
// Both line ends are wrapped in devices that name their threads' roles for the allocation
// count (alloc_counter.h): the driver's end calls its event thread kPortEvents, the terminal's
// end calls the simulator's thread kTerminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "comport/device_virtual.h"
#include "driver/env.h"
#include "driver/smart_driver.h"
#include "platform/timing.h"
#include "terminal-sim/terminal_simulator.h"
#include "vexcard/host_interface.h"

namespace vexcard::bench {

// A folder of its own under TMPDIR (or /tmp), removed with everything in it.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

struct RigOptions {
  bool paced = true;
  std::uint32_t replyDelayMs = 20;  // the simulator's pause before each reply
  timing::Policy policy = timing::Policy::production();
  std::string card = "bonus";  // the card in the reader: bonus or fuel
  bool createDriver = true;    // false: the line and the terminal only
  bool simulator = true;       // false: the terminal's end is left to the caller
  bool journal = true;         // false: the driver's journal cannot be opened (nothing written)
  std::uint32_t handshakeDelayMs = 0;  // the simulator's time to answer a hand-shake
};

// Characters that crossed the line, and the replies written, since the last mark().
struct Traffic {
  std::uint64_t characters = 0;       // both ways
  std::uint64_t replyCharacters = 0;  // from the terminal
  std::uint64_t replies = 0;
  std::uint64_t requests = 0;
};

class Rig {
 public:
  explicit Rig(const RigOptions& options);
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  HostObject* host() const { return host_; }
  const HostSlots& slots() const { return hostSlots(host_); }
  driver::TSmartDriver& driver() const;
  sim::TerminalSimulator& terminal() const { return *sim_; }
  // The terminal's end of the line when the rig runs no simulator.
  comport::SerialDevice& terminalEnd() const { return *terminalEnd_; }
  comport::VirtualSerialPair& line() const { return *line_; }
  // CPU time the driver's port event thread has used so far (0 before it has run).
  std::chrono::nanoseconds eventThreadCpu() const;
  std::uint32_t replyDelayMs() const { return replyDelayMs_; }

  // A new driver on the rig's line (the previous one must be gone); and its destruction
  // through the host's destructor slot.
  void createHost();
  void destroyHost();

  void mark();
  Traffic traffic() const;

 private:
  ScratchFolder folder_;
  const std::uint32_t replyDelayMs_;
  EnvScope env_;
  std::shared_ptr<comport::VirtualSerialPair> line_;
  std::unique_ptr<sim::TerminalSimulator> sim_;
  std::unique_ptr<comport::SerialDevice> terminalEnd_;
  std::shared_ptr<struct ThreadClock> eventClock_;
  HostObject* host_ = nullptr;
};

}  // namespace vexcard::bench
