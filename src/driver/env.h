// The driver's surroundings in one object: how long it waits, what time it is, which
// device each COM port opens, where the settings store keeps its values and where the log
// is written.
//
// Each piece belongs to a layer below the driver and is read there: the timing policy by
// platform/timing.h, the clock by platform/clock.h, the device map by comport/device_map.h,
// the settings folder by platform/settings_store.h (setSettingsLocation), the log path by
// logging/logger.h (setDefaultLogPathOverride, which the driver's constructor reads through
// DefaultLogPath). A platform-level object cannot hold the device map, since its factories
// make comport's SerialDevice, a layer above; so the aggregate lives in the driver layer,
// whose code sees every piece, and installEnv hands each piece to its layer. Those
// setters are not for tests to call; besides installEnv only the tools use two of them
// (their built-in simulator maps its port with comport::setDeviceOverride, their --log
// option is setDefaultLogPathOverride).
//
// Production never installs an Env: a default-constructed Env is what every layer does by
// itself (the real delays, the system clock, the platform's device per port, the settings
// in $VEXCARD_SETTINGS_DIR and its fallbacks on POSIX or the registry key on Windows, the
// log in $VEXCARD_LOG_DIR and its fallbacks on POSIX or C:\DOVA\LogFiles on Windows). Tests
// set the pieces they need on one Env and install it, usually through an EnvScope.
//
// Threads: an Env is installed (installEnv, EnvScope) by one thread at a time, while no
// driver or port exists; drivers read the settings folder and the log path when they are
// constructed and ports read the device map when they open. The timing policy alone may be
// changed at any time from any thread with retime(); every duration is taken whole.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "comport/device_map.h"
#include "platform/timing.h"

namespace vexcard {

struct Env {
  // Every sleep and bounded wait.
  timing::Policy timing = timing::Policy::production();
  // Now, local time, as an OLE Automation date; empty: the system's clock.
  std::function<double()> clock;
  // What COM n opens (a factory's nullptr: the port cannot be opened); ports not named
  // open the platform's device.
  std::map<unsigned, comport::DeviceFactory> devices;
  // The settings store's folder (on Windows its key below HKEY_LOCAL_MACHINE); empty: the
  // platform's.
  std::string settingsFolder;
  // The driver's log file; empty: logging::DefaultLogPath()'s platform path.
  std::string logPath;
  // The driver's journal of money requests; empty: link::journalPath()'s platform path
  // (on POSIX beside the settings, so a test's settings folder holds it too).
  std::string journalPath;
};

// Hands every piece of env to its layer. Only while no driver or port exists.
void installEnv(const Env& env);

// The Env installed last (a default one before any), its timing policy as it is now.
Env currentEnv();

// Replaces the timing policy of the installed Env. Any time, from any thread.
void retime(const timing::Policy& policy);

// Installs an Env for the lifetime of the object and then the one it replaced. Built and
// destroyed while no driver or port exists.
class EnvScope {
 public:
  explicit EnvScope(const Env& env = {});
  ~EnvScope();
  EnvScope(const EnvScope&) = delete;
  EnvScope& operator=(const EnvScope&) = delete;

  // Changes pieces of the installed Env: change edits a copy of it, which is installed.
  // Only while no driver or port exists (the timing policy: see retime).
  void update(const std::function<void(Env&)>& change);

 private:
  Env previous_;
};

}  // namespace vexcard
