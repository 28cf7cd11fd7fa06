// The settings store on Windows: the registry key HKEY_LOCAL_MACHINE\SOFTWARE\Norvex\ZUR
// (or the path below HKEY_LOCAL_MACHINE set by setSettingsLocation) with REG_DWORD values.
//
// The key is created when missing and kept open for the store's life. When it cannot be
// opened for writing (a user without rights to the machine's settings) it is opened for
// reading only, so the stored values still apply; writes then fail. When it cannot be
// opened at all, reads fail and writes throw. A 32-bit library on 64-bit Windows sees the
// 32-bit view of the registry, as every 32-bit program does.
//
// Thread-safe: the key handle does not change after opening and registry calls on one
// handle may run on several threads.
#include <windows.h>

#include <string>

#include "platform/codepage.h"
#include "platform/settings_store.h"
#include "vexcard/exception.h"

namespace vexcard::platform {
namespace {

constexpr const char* kKeyPath = "SOFTWARE\\Norvex\\ZUR";

std::string keyPath() {
  std::string chosen = settingsLocation();
  return chosen.empty() ? std::string(kKeyPath) : chosen;
}

class RegistryStore final : public SettingsStore {
 public:
  RegistryStore() : key_path_(keyPath()) {
    HKEY key = nullptr;
    open_error_ = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_path_.c_str(), 0, nullptr,
                                    REG_OPTION_NON_VOLATILE, KEY_QUERY_VALUE | KEY_SET_VALUE,
                                    nullptr, &key, nullptr);
    if (open_error_ != ERROR_SUCCESS) {
      key = nullptr;
      if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path_.c_str(), 0, KEY_QUERY_VALUE, &key) !=
          ERROR_SUCCESS) {
        key = nullptr;
      }
    }
    key_ = key;
  }
  ~RegistryStore() override {
    if (key_ != nullptr) ::RegCloseKey(key_);
  }

  std::optional<std::int32_t> readInt(std::string_view name) override {
    if (key_ == nullptr) return std::nullopt;
    const std::string value_name(name);
    DWORD type = 0;
    DWORD data = 0;
    DWORD size = sizeof data;
    if (::RegQueryValueExA(key_, value_name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&data),
                           &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof data) {
      return std::nullopt;
    }
    return static_cast<std::int32_t>(data);
  }

  void writeInt(std::string_view name, std::int32_t value) override {
    const std::string value_name(name);
    LONG rc = open_error_;
    if (rc == ERROR_SUCCESS) {
      const auto data = static_cast<DWORD>(value);
      rc = ::RegSetValueExA(key_, value_name.c_str(), 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&data), sizeof data);
    }
    if (rc != ERROR_SUCCESS) {
      using namespace vexcard::literals;
      throw Exception(std::string("Не удалось записать значение настроек "_w1251) + value_name +
                      " (HKEY_LOCAL_MACHINE\\" + key_path_ + "): " + std::to_string(rc));
    }
  }

 private:
  std::string key_path_;  // below HKEY_LOCAL_MACHINE
  HKEY key_ = nullptr;
  LONG open_error_ = ERROR_SUCCESS;  // outcome of opening the key for writing
};

}  // namespace

std::unique_ptr<SettingsStore> SettingsStore::open() { return std::make_unique<RegistryStore>(); }

std::string journalFolder() {
  char buffer[MAX_PATH];
  const DWORD n = ::GetEnvironmentVariableA("ProgramData", buffer, MAX_PATH);
  const std::string base = n > 0 && n < MAX_PATH ? std::string(buffer, n) : "C:\\ProgramData";
  return base + "\\Norvex\\VexCard";
}

}  // namespace vexcard::platform
