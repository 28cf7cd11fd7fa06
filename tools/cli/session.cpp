#include "cli/session.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "comport/device_map.h"
#include "comport/device_virtual.h"
#include "logging/logger.h"
#include "terminal-sim/default_config.h"
#include "terminal-sim/fault_syntax.h"
#include "vexcard/exception.h"

namespace vexcard::cli {

namespace {

// A fresh folder under TMPDIR (or /tmp); empty when none can be made.
std::string makeTempFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string path =
      std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/vexcard-settings.XXXXXX";
  if (::mkdtemp(path.data()) == nullptr) return {};
  return path;
}

// Removes the files of a folder (it holds no sub-folders) and the folder.
void removeFolder(const std::string& path) {
  if (DIR* dir = ::opendir(path.c_str())) {
    while (const dirent* e = ::readdir(dir)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") ::unlink((path + "/" + name).c_str());
    }
    ::closedir(dir);
  }
  ::rmdir(path.c_str());
}

bool folderOfFileExists(const std::string& file) {
  const auto slash = file.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : file.substr(0, slash + 1);
  struct stat st {};
  return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

SessionOptions sessionOptionsFrom(const ParsedArgs& a) {
  SessionOptions o;
  const bool simOptions = a.has("sim-config") || a.has("card") || a.has("fault");
  if (a.has("port")) {
    o.port = static_cast<std::uint8_t>(*a.integer("port", 1, 255));
    o.simulator = a.has("simulator");
    if (simOptions && !o.simulator) {
      throw UsageError("--sim-config, --card and --fault apply to the simulator (--simulator)");
    }
  }
  const std::string configText = a.has("sim-config")
                                     ? readInputFile(*a.get("sim-config"), "--sim-config")
                                     : std::string(sim::defaultConfigText());
  try {
    o.simConfig = sim::parseSimulatorConfig(configText);
    for (const std::string& f : a.all("fault")) o.faults.push_back(sim::parseFaultRule(f));
  } catch (const Exception& e) {
    throw UsageError(e.message());
  }
  if (const auto card = a.get("card")) {
    if (*card != "none" && o.simConfig.findCard(*card) == nullptr) {
      throw UsageError("--card: the simulated terminal has no card '" + *card + "'");
    }
    o.simConfig.insertedCard = *card == "none" ? std::string() : *card;
  }
  if (const auto log = a.get("log")) {
    if (log->empty() || log->back() == '/' || !folderOfFileExists(*log)) {
      throw UsageError("--log: the folder of '" + *log + "' does not exist");
    }
    o.logFile = *log;
  }
  return o;
}

Session::Session(const SessionOptions& options) : port_(options.port) {
  try {
    if (options.logFile) {
      logging::SetDefaultLogPathOverride(*options.logFile);
    }
    if (options.simulator) {
      const char* settings = std::getenv("VEXCARD_SETTINGS_DIR");
      if (settings == nullptr || *settings == 0) {
        settingsDir_ = makeTempFolder();
        if (settingsDir_.empty()) throw Exception("cannot create a temporary settings folder");
        ::setenv("VEXCARD_SETTINGS_DIR", settingsDir_.c_str(), 1);
      }
      line_ = comport::NewVirtualSerialPair();
      sim_ = std::make_unique<sim::TerminalSimulator>(line_->open(1), options.simConfig);
      for (const sim::FaultRule& rule : options.faults) sim_->injectFault(rule);
      sim_->start();
      comport::setDeviceOverride(port_, line_->factory(0));
    }
    logPath_ = logging::DefaultLogPath();
    object_ = GeTDriver(port_);
  } catch (...) {
    release();
    throw;
  }
}

Session::~Session() { release(); }

void Session::release() noexcept {
  if (object_ != nullptr) {
    try {
      hostDestructor(object_)(object_);
    } catch (...) {
      // The destructor slot has nothing to report; the process ends anyway.
    }
    object_ = nullptr;
  }
  if (sim_) sim_->stop();
  if (line_) comport::setDeviceOverride(port_, {});
  sim_.reset();
  line_.reset();
  if (!settingsDir_.empty()) {
    ::unsetenv("VEXCARD_SETTINGS_DIR");
    removeFolder(settingsDir_);
    settingsDir_.clear();
  }
  logging::SetDefaultLogPathOverride({});
}

}  // namespace vexcard::cli
