#include <windows.h>
// after windows.h, which it needs
#include <io.h>

#include <cstdio>

#include "cli/driver_loader.h"
#include "comport/device_virtual.h"
#include "driver/smart_driver.h"
#include "link/journal_format.h"
#include "platform/settings_store.h"
#include "terminal-sim/rfc2217_server.h"
#include "vexcard/exception.h"

namespace vexcard::cli {

const bool kDriverIsLoaded = true;
const char* const kSimulatorLineText = "an RFC 2217 port on 127.0.0.1, served by this process";

namespace {

// The folder of this program, with its trailing backslash.
std::string programFolder() {
  char path[MAX_PATH];
  const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (n == 0 || n == MAX_PATH) return {};
  std::string s(path, n);
  return s.substr(0, s.find_last_of("\\/") + 1);
}

// "… (error N: the system's text)". Messages are Windows-1251, as the driver's are.
std::string systemError(DWORD code) {
  char text[256] = {};
  DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) --n;
  return "error " + std::to_string(code) + (n > 0 ? ": " + std::string(text, n) : std::string());
}

}  // namespace

std::string driverLibraryPath(const std::optional<std::string>& dll) {
  return dll ? *dll : programFolder() + "VexCard.dll";
}

DriverLoader::DriverLoader(const std::optional<std::string>& dll) {
  const std::string path = driverLibraryPath(dll);
  // No message box when the file or one of its runtime DLLs is missing: the error is
  // reported on the console.
  const UINT oldMode = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  // With a folder in the path, the library's own folder is searched for its runtime DLLs
  // (LOAD_WITH_ALTERED_SEARCH_PATH, which wants the full path).
  HMODULE module = nullptr;
  if (path.find_first_of("\\/") == std::string::npos) {
    module = ::LoadLibraryA(path.c_str());
  } else {
    char full[MAX_PATH];
    const DWORD n = ::GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    module = ::LoadLibraryExA(n > 0 && n < MAX_PATH ? full : path.c_str(), nullptr,
                              LOAD_WITH_ALTERED_SEARCH_PATH);
  }
  const DWORD error = ::GetLastError();
  ::SetErrorMode(oldMode);
  if (module == nullptr) throw Exception("cannot load " + path + " (" + systemError(error) + ")");
  const FARPROC entry = ::GetProcAddress(module, "GeTDriver");
  if (entry == nullptr) {
    ::FreeLibrary(module);
    throw Exception(path + " exports no GeTDriver: it is not the VexCard driver");
  }
  module_ = module;
  entry_ = reinterpret_cast<decltype(entry_)>(reinterpret_cast<void*>(entry));
}

DriverLoader::~DriverLoader() {
  if (module_ != nullptr) ::FreeLibrary(static_cast<HMODULE>(module_));
}

HostObject* DriverLoader::create(std::uint8_t port) const { return entry_(port); }

struct SimulatorLink::State {
  std::string variable;                        // VEXCARD_COM<n>
  std::optional<std::string> previous;         // its value before, if it had one
  std::unique_ptr<comport::SerialDevice> end;  // the line's end the server puts online
  std::unique_ptr<sim::Rfc2217Server> server;  // declared last: stops before end goes
};

SimulatorLink::SimulatorLink(std::uint8_t port, comport::VirtualSerialPair& line)
    : state_(std::make_unique<State>()) {
  state_->variable = "VEXCARD_COM" + std::to_string(port);
  char value[512];
  const DWORD n = ::GetEnvironmentVariableA(state_->variable.c_str(), value, sizeof value);
  if (n > 0 && n < sizeof value) state_->previous = std::string(value, n);
  state_->end = line.open(0);
  state_->server = std::make_unique<sim::Rfc2217Server>(*state_->end);
  if (!state_->server->start("127.0.0.1", 0)) {
    throw Exception("the simulated terminal cannot listen on the loopback interface");
  }
  const std::string url = "rfc2217://127.0.0.1:" + std::to_string(state_->server->port());
  ::SetEnvironmentVariableA(state_->variable.c_str(), url.c_str());
}

SimulatorLink::~SimulatorLink() {
  state_->server->stop();
  ::SetEnvironmentVariableA(state_->variable.c_str(),
                            state_->previous ? state_->previous->c_str() : nullptr);
}

// The library keeps its settings in its registry key, which this program cannot point
// elsewhere: the two values are read now and written back at the end, so that a session
// with the simulator leaves the station's packet counter and shift number as they were.
// A value that was missing is left as the session made it.
TemporarySettings::TemporarySettings() {
  const auto store = platform::SettingsStore::open();
  packetCounter_ = store->readInt(link::kPacketCounterValue);
  shiftNumber_ = store->readInt(link::kShiftNumberValue);
}

TemporarySettings::~TemporarySettings() {
  const auto store = platform::SettingsStore::open();
  try {
    if (packetCounter_) store->writeInt(link::kPacketCounterValue, *packetCounter_);
    if (shiftNumber_) store->writeInt(link::kShiftNumberValue, *shiftNumber_);
  } catch (const Exception&) {
    // A key the user may not write: the library could not have changed it either.
  }
}

std::string simulatorJournalPath() { return link::journalPath(); }

bool stderrIsTerminal() { return ::_isatty(::_fileno(stderr)) != 0; }

}  // namespace vexcard::cli
