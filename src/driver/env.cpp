#include "driver/env.h"

#include <mutex>

#include "link/journal_format.h"
#include "logging/logger.h"
#include "platform/clock.h"
#include "platform/settings_store.h"

namespace vexcard {
namespace {

// The Env installed last; its timing policy is not kept here but read from the timing
// layer, which retime() changes without the lock.
struct Installed {
  std::mutex mutex;
  Env env;  // guarded by mutex
};

Installed& installed() {
  static Installed i;
  return i;
}

}  // namespace

void installEnv(const Env& env) {
  Installed& i = installed();
  std::lock_guard<std::mutex> g(i.mutex);
  i.env = env;
  timing::install(env.timing);
  platform::setClockOverride(env.clock);
  comport::setDeviceOverrides(env.devices);
  platform::setSettingsLocation(env.settingsFolder);
  logging::setDefaultLogPathOverride(env.logPath);
  link::setJournalPathOverride(env.journalPath);
}

Env currentEnv() {
  Installed& i = installed();
  Env env;
  {
    std::lock_guard<std::mutex> g(i.mutex);
    env = i.env;
  }
  env.timing = timing::current();
  return env;
}

void retime(const timing::Policy& policy) { timing::install(policy); }

EnvScope::EnvScope(const Env& env) : previous_(currentEnv()) { installEnv(env); }

EnvScope::~EnvScope() { installEnv(previous_); }

void EnvScope::update(const std::function<void(Env&)>& change) {
  Env env = currentEnv();
  change(env);
  installEnv(env);
}

}  // namespace vexcard
