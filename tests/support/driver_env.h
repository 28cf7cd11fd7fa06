// The surroundings of a driver under test: temporary folders for its settings store and
// its log (through VEXCARD_SETTINGS_DIR and VEXCARD_LOG_DIR), virtual serial lines for its
// COM ports, and readers for the store and the log.
//
// Set up before any driver is built and torn down after the last is gone: the environment
// variables are changed only while no other thread of the system runs.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "comport/device_map.h"
#include "comport/device_virtual.h"
#include "logging/logger.h"
#include "platform/settings_store.h"
#include "support/temp_folder.h"

namespace vexcard::test {

class DriverEnv {
 public:
  // End 0 of each line is the driver's COM port, end 1 the terminal's.
  static constexpr int kDriverEnd = 0;
  static constexpr int kTerminalEnd = 1;

  DriverEnv() {
    std::filesystem::create_directories(folder_ / "log");
    setenv("VEXCARD_SETTINGS_DIR", (folder_ / "ZUR").c_str(), 1);
    setenv("VEXCARD_LOG_DIR", (folder_ / "log").c_str(), 1);
    logging::testing::resetLogState();
  }
  ~DriverEnv() {
    for (unsigned port : ports_) comport::setDeviceOverride(port, nullptr);
    logging::testing::resetLogState();
    unsetenv("VEXCARD_SETTINGS_DIR");
    unsetenv("VEXCARD_LOG_DIR");
  }
  DriverEnv(const DriverEnv&) = delete;
  DriverEnv& operator=(const DriverEnv&) = delete;

  // A new virtual line whose end 0 stands for COM port.
  std::shared_ptr<comport::VirtualSerialPair> line(unsigned port) {
    auto pair = comport::NewVirtualSerialPair();
    comport::setDeviceOverride(port, pair->factory(kDriverEnd));
    ports_.push_back(port);
    return pair;
  }

  // Makes every write of the settings store fail (and every read find nothing): the
  // store's folder is to lie below a regular file.
  void breakSettingsStore() {
    std::ofstream(folder_ / "not-a-folder") << "x";
    setenv("VEXCARD_SETTINGS_DIR", (folder_ / "not-a-folder" / "ZUR").c_str(), 1);
  }

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
  std::vector<unsigned> ports_;
};

}  // namespace vexcard::test
