// The in-process overrides of the per-port mapping (an Env's devices, the simulator),
// consulted before the platform's own mapping.
#include "comport/device_map.h"

#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "comport/device_map_platform.h"

namespace vexcard::comport {
namespace {

std::mutex& overridesMutex() {
  static std::mutex m;
  return m;
}

std::map<unsigned, DeviceFactory>& overrides() {
  static std::map<unsigned, DeviceFactory> m;
  return m;
}

// Per thread, so that ports opened on several threads at once each see their own.
thread_local std::string t_openFailure;

}  // namespace

void setDeviceOverride(unsigned port, DeviceFactory factory) {
  std::lock_guard<std::mutex> g(overridesMutex());
  if (factory) {
    overrides()[port] = std::move(factory);
  } else {
    overrides().erase(port);
  }
}

void setDeviceOverrides(const std::map<unsigned, DeviceFactory>& replacement) {
  std::map<unsigned, DeviceFactory> kept;
  for (const auto& [port, factory] : replacement) {
    if (factory) kept.emplace(port, factory);
  }
  std::map<unsigned, DeviceFactory> previous;  // released outside the lock
  std::lock_guard<std::mutex> g(overridesMutex());
  previous.swap(overrides());
  overrides().swap(kept);
}

std::string openFailure() { return t_openFailure; }

void setOpenFailure(std::string reason) { t_openFailure = std::move(reason); }

std::unique_ptr<SerialDevice> openSerialDevice(unsigned port) {
  t_openFailure.clear();
  DeviceFactory factory;
  {
    std::lock_guard<std::mutex> g(overridesMutex());
    auto it = overrides().find(port);
    if (it != overrides().end()) factory = it->second;
  }
  if (factory) return factory();  // called outside the lock: it may take its time
  if (port == 0) return nullptr;
  return openPlatformDevice(port);
}

}  // namespace vexcard::comport
