// The driver's settings store: a key holding 32-bit integer values.
//
// On Windows it is the registry key HKEY_LOCAL_MACHINE\SOFTWARE\Norvex\ZUR (REG_DWORD
// values). On POSIX it is a directory with one file per value (see settings_store_posix.cpp
// for its location); each value is written to a temporary file, flushed and renamed over
// the old one, so a crash or a power loss leaves either the old or the new value, never a
// torn or empty one; opening the store removes the temporary files of writers that died.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vexcard::platform {

class SettingsStore {
 public:
  virtual ~SettingsStore() = default;

  // Opens the driver's key, creating it when missing. Never throws: a key that cannot be
  // opened gives a store whose reads fail and whose writes throw.
  static std::unique_ptr<SettingsStore> open();

  // The value, or nullopt when it is missing, not an integer or cannot be read.
  virtual std::optional<std::int32_t> readInt(std::string_view name) = 0;
  // Stores the value. Throws vexcard::Exception when it cannot be stored.
  virtual void writeInt(std::string_view name, std::int32_t value) = 0;
};

// Where stores opened afterwards keep their values instead of the platform's place: on
// POSIX the folder (in place of $VEXCARD_SETTINGS_DIR and its fallbacks), on Windows the
// key's path below HKEY_LOCAL_MACHINE (in place of SOFTWARE\Norvex\ZUR). Empty restores
// the platform's place. Thread-safe. vexcard::installEnv (driver/env.h) sets it from the
// Env's settings folder; nothing else does.
void setSettingsLocation(std::string location);
// The location set by setSettingsLocation; empty when none is.
std::string settingsLocation();

// The folder of the driver's journal, without a closing separator; created with its parents
// by the journal when missing.
//   POSIX: the settings store's folder (the journal lies beside the settings values).
//   Windows: %ProgramData%\Norvex\VexCard (C:\ProgramData\Norvex\VexCard when ProgramData
//   is not set), the machine's folder for program data, whoever runs the host.
std::string journalFolder();

}  // namespace vexcard::platform
