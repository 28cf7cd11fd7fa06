// The surroundings of a driver under test, installed as one vexcard::Env: temporary folders
// for its settings store and its log, virtual serial lines for its COM ports, the timing
// policy and the clock; and readers for the store and the log.
//
// Set up before any driver is built and torn down after the last is gone, as the Env is
// installed only while no driver or port exists; retime() may be called at any time.
#pragma once

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "comport/device_virtual.h"
#include "driver/env.h"
#include "logging/logger.h"
#include "platform/settings_store.h"
#include "support/temp_folder.h"

namespace vexcard::test {

class DriverEnv {
 public:
  // End 0 of each line is the driver's COM port, end 1 the terminal's.
  static constexpr int kDriverEnd = 0;
  static constexpr int kTerminalEnd = 1;

  // Starts from the production Env (the real clock, the platform's devices) with the given
  // timing policy.
  explicit DriverEnv(const timing::Policy& policy = timing::Policy::production()) {
    std::filesystem::create_directories(folder_ / "log");
    scope_.update([&](Env& e) {
      e.timing = policy;
      e.settingsFolder = (folder_ / "ZUR").string();
      e.logPath = (folder_ / "log" / "VexCard.log").string();
    });
    logging::testing::resetLogState();
  }
  ~DriverEnv() { logging::testing::resetLogState(); }
  DriverEnv(const DriverEnv&) = delete;
  DriverEnv& operator=(const DriverEnv&) = delete;

  // A new virtual line whose end 0 stands for COM port.
  std::shared_ptr<comport::VirtualSerialPair> line(unsigned port) {
    auto pair = comport::NewVirtualSerialPair();
    setDevice(port, pair->factory(kDriverEnd));
    return pair;
  }
  // Makes COM port open through factory (nullptr from it: the port cannot be opened); an
  // empty factory gives the port back to the platform's device.
  void setDevice(unsigned port, comport::DeviceFactory factory) {
    scope_.update([&](Env& e) { e.devices[port] = std::move(factory); });
  }
  // Places the driver's journal (drivers built afterwards write it there).
  void setJournalPath(std::string path) {
    scope_.update([&](Env& e) { e.journalPath = std::move(path); });
  }
  // Replaces the timing policy (at any time, see vexcard::retime).
  void setTiming(const timing::Policy& policy) { retime(policy); }
  // Replaces the clock; empty: the system's.
  void setClock(std::function<double()> now) {
    scope_.update([&](Env& e) { e.clock = std::move(now); });
  }

  // Makes every write of the settings store fail (and every read find nothing): the
  // store's folder is to lie below a regular file.
  void breakSettingsStore() {
    std::ofstream(folder_ / "not-a-folder") << "x";
    scope_.update([&](Env& e) { e.settingsFolder = (folder_ / "not-a-folder" / "ZUR").string(); });
  }

  // The folder holding the settings store (ZUR) and the log (log/VexCard.log).
  const std::filesystem::path& folder() const { return folder_; }

  void storeInt(std::string_view name, std::int32_t value) {
    platform::SettingsStore::open()->writeInt(name, value);
  }
  std::optional<std::int32_t> storedInt(std::string_view name) {
    return platform::SettingsStore::open()->readInt(name);
  }

  // The texts of the log's lines, without the type prefix and time stamp
  // ("+ dd.mm hh:mm:ss.zzz [] "); the empty first line is skipped.
  std::vector<std::string> logTexts() const {
    std::ifstream in(folder_ / "log" / "VexCard.log", std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    std::vector<std::string> texts;
    std::istringstream lines(all.str());
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.size() >= kStampedPrefix) texts.push_back(line.substr(kStampedPrefix));
    }
    return texts;
  }
  // How many log lines read exactly text.
  std::size_t countLog(std::string_view text) const {
    const auto texts = logTexts();
    return static_cast<std::size_t>(std::count(texts.begin(), texts.end(), text));
  }
  // How many log lines begin with prefix.
  std::size_t countLogPrefix(std::string_view prefix) const {
    const auto texts = logTexts();
    return static_cast<std::size_t>(std::count_if(
        texts.begin(), texts.end(), [&](const std::string& t) { return t.starts_with(prefix); }));
  }

 private:
  static constexpr std::size_t kStampedPrefix = 24;  // "+ " + 18-character stamp + " [] "

  TempFolder temp_;
  std::filesystem::path folder_{temp_.path()};
  EnvScope scope_;
};

}  // namespace vexcard::test
