// Where the vexcard command's driver comes from, and how its simulated terminal reaches it.
//
// POSIX: the program carries the library's own GeTDriver entry (linked in). The simulated
// terminal is joined to the driver's COM port by the in-process device override, and the
// driver keeps its settings (packet counter, shift number) in a temporary folder.
//
// Windows: the program loads a VexCard.dll (the one beside vexcard.exe, or --dll PATH) with
// LoadLibrary and finds GeTDriver with GetProcAddress, so that it drives the installed
// library exactly as the cash-desk program does. The library is a module of its own, out of
// reach of this program's overrides: the simulated terminal is served as an RFC 2217
// network serial port on the loopback interface and the driver's COM port is mapped to it
// with VEXCARD_COM<n>=rfc2217://127.0.0.1:PORT in the process's environment (the old value
// comes back afterwards). The library keeps its settings in its registry key (the session
// with the simulator restores them at the end) and writes its log to its own folder
// (C:\DOVA\LogFiles, when that folder exists).
//
// Not thread-safe: one session at a time per process (the overrides and the environment
// are process-wide).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "vexcard/host_interface.h"

namespace vexcard::comport {
class VirtualSerialPair;
}

namespace vexcard::cli {

// True where the driver is a library loaded at run time (Windows): --dll applies there, and
// --log does not (the library chooses its log file itself).
extern const bool kDriverIsLoaded;
// How the simulated terminal is joined to the driver, for the demo's heading.
extern const char* const kSimulatorLineText;

class DriverLoader {
 public:
  // dll: the library to load (Windows only); empty: the default. Throws vexcard::Exception
  // naming the file and the system's error when it cannot be loaded or has no GeTDriver.
  explicit DriverLoader(const std::optional<std::string>& dll);
  ~DriverLoader();  // unloads the library; every driver it made must be destroyed first
  DriverLoader(const DriverLoader&) = delete;
  DriverLoader& operator=(const DriverLoader&) = delete;

  // GeTDriver(port), as the host calls it; raises what GeTDriver raises.
  HostObject* create(std::uint8_t port) const;

 private:
  void* module_ = nullptr;  // Windows: the loaded library
  HostObject*(VEXCARD_STDCALL* entry_)(std::uint8_t) = nullptr;
};

// Joins the driver's COM port to end 0 of the simulator's line (the simulator answers on
// end 1) until destroyed. Throws vexcard::Exception when the join cannot be made.
class SimulatorLink {
 public:
  SimulatorLink(std::uint8_t port, comport::VirtualSerialPair& line);
  ~SimulatorLink();
  SimulatorLink(const SimulatorLink&) = delete;
  SimulatorLink& operator=(const SimulatorLink&) = delete;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The driver's settings kept apart from the station's while the simulator plays: on POSIX
// a temporary folder named by VEXCARD_SETTINGS_DIR (unless the caller set that variable),
// removed at the end; throws vexcard::Exception when it cannot be made. On Windows the
// library's registry values (packet counter, shift number) are written back at the end as
// they were at the start.
class TemporarySettings {
 public:
  TemporarySettings();
  ~TemporarySettings();
  TemporarySettings(const TemporarySettings&) = delete;
  TemporarySettings& operator=(const TemporarySettings&) = delete;

 private:
  std::string folder_;  // POSIX: the folder to remove; empty: none
  std::optional<std::int32_t> packetCounter_, shiftNumber_;  // Windows: the values to restore
};

// The journal that the program's sessions with a simulated terminal write. POSIX:
// "VexCard.simulator.journal" beside the station's own journal, so that a try-out never
// mixes with the station's record (the session sets it with link::setJournalPathOverride).
// Windows: the library's own journal, which the program cannot redirect.
std::string simulatorJournalPath();

#ifdef _WIN32
// The library the program loads: the one --dll names, else VexCard.dll beside vexcard.exe.
std::string driverLibraryPath(const std::optional<std::string>& dll);
#endif

// Whether the standard error stream is a terminal (progress lines are shown only there).
bool stderrIsTerminal();

}  // namespace vexcard::cli
