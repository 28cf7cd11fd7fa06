#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include "cli/driver_loader.h"
#include "comport/device_map.h"
#include "comport/device_virtual.h"
#include "platform/settings_store.h"
#include "vexcard/exception.h"

namespace vexcard::cli {

const bool kDriverIsLoaded = false;
const char* const kSimulatorLineText = "a virtual line in this process";

DriverLoader::DriverLoader(const std::optional<std::string>& dll) : entry_(&GeTDriver) {
  if (dll) throw Exception("--dll applies on Windows; this program carries its driver");
}

DriverLoader::~DriverLoader() = default;

HostObject* DriverLoader::create(std::uint8_t port) const { return entry_(port); }

struct SimulatorLink::State {
  std::uint8_t port;
};

SimulatorLink::SimulatorLink(std::uint8_t port, comport::VirtualSerialPair& line)
    : state_(std::make_unique<State>(State{port})) {
  comport::setDeviceOverride(port, line.factory(0));
}

SimulatorLink::~SimulatorLink() { comport::setDeviceOverride(state_->port, {}); }

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

}  // namespace

TemporarySettings::TemporarySettings() {
  const char* settings = std::getenv("VEXCARD_SETTINGS_DIR");
  if (settings != nullptr && *settings != 0) return;
  folder_ = makeTempFolder();
  if (folder_.empty()) throw Exception("cannot create a temporary settings folder");
  ::setenv("VEXCARD_SETTINGS_DIR", folder_.c_str(), 1);
}

TemporarySettings::~TemporarySettings() {
  if (folder_.empty()) return;
  ::unsetenv("VEXCARD_SETTINGS_DIR");
  removeFolder(folder_);
}

std::string simulatorJournalPath() {
  return platform::journalFolder() + "/VexCard.simulator.journal";
}

bool stderrIsTerminal() { return ::isatty(STDERR_FILENO) != 0; }

}  // namespace vexcard::cli
