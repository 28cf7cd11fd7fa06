// The settings store's location chosen in-process (see setSettingsLocation), shared by
// both platforms' stores.
#include "platform/settings_store.h"

#include <mutex>
#include <string>
#include <utility>

namespace vexcard::platform {
namespace {

struct Location {
  std::mutex mutex;
  std::string path;  // guarded by mutex
};

Location& location() {
  static Location l;
  return l;
}

}  // namespace

void setSettingsLocation(std::string path) {
  Location& l = location();
  std::lock_guard<std::mutex> g(l.mutex);
  l.path = std::move(path);
}

std::string settingsLocation() {
  Location& l = location();
  std::lock_guard<std::mutex> g(l.mutex);
  return l.path;
}

}  // namespace vexcard::platform
