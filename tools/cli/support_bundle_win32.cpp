// The Windows parts of `vexcard support-bundle`: the files are staged in a temporary folder
// and packed by Windows' own tar.exe (bsdtar, in System32 since Windows 10 1803), which
// chooses the format by the archive's name; the system's version from RtlGetVersion (which,
// unlike GetVersionEx, does not depend on the program's manifest) and the registry; the
// driver's version from the version resource of VexCard.dll.
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "cli/driver_loader.h"
#include "cli/support_bundle.h"
#include "platform/settings_store.h"

namespace vexcard::cli {
namespace fs = std::filesystem;
namespace {

// A text value below HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion.
std::string currentVersionText(const char* name) {
  char buffer[256];
  DWORD size = sizeof buffer;
  if (::RegGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", name,
                     RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS ||
      size == 0) {
    return {};
  }
  return std::string(buffer, size - 1);
}

std::string architectureName(WORD architecture) {
  switch (architecture) {
    case PROCESSOR_ARCHITECTURE_AMD64:
      return "x86_64 (AMD64)";
    case PROCESSOR_ARCHITECTURE_INTEL:
      return "x86";
    case PROCESSOR_ARCHITECTURE_ARM64:
      return "ARM64";
    case PROCESSOR_ARCHITECTURE_ARM:
      return "ARM";
    default:
      return std::string("unknown (") + std::to_string(architecture) + ")";
  }
}

// Runs command line (tar.exe and its arguments); its exit code, or throws when it cannot
// be started.
DWORD run(const std::wstring& program, std::wstring line) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
    throw InputError(std::string("cannot run ") + fs::path(program).string() + " (error " +
                     std::to_string(::GetLastError()) + ")");
  }
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  ::GetExitCodeProcess(process.hProcess, &code);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return code;
}

std::wstring quoted(const fs::path& p) { return L"\"" + p.wstring() + L"\""; }

}  // namespace

void writeBundleArchive(const std::string& path, const std::string& top,
                        const std::vector<BundleFile>& files) {
  wchar_t system[MAX_PATH];
  const UINT n = ::GetSystemDirectoryW(system, MAX_PATH);
  const fs::path tar = fs::path(std::wstring(system, n < MAX_PATH ? n : 0)) / L"tar.exe";
  std::error_code ec;
  if (n == 0 || !fs::exists(tar, ec)) {
    throw InputError("Windows' tar.exe (" + tar.string() +
                     ") is missing: it comes with Windows 10 version 1803 and later; no "
                     "bundle written");
  }
  const fs::path stage = fs::temp_directory_path(ec) /
                         (std::string("vexcard-support-") + std::to_string(processTag()));
  fs::remove_all(stage, ec);
  struct Cleanup {
    fs::path folder;
    ~Cleanup() {
      std::error_code ignored;
      fs::remove_all(folder, ignored);
    }
  } cleanup{stage};
  for (const BundleFile& f : files) {
    const fs::path file = stage / top / fs::path(f.name);
    fs::create_directories(file.parent_path(), ec);
    std::ofstream stream(file, std::ios::binary);
    stream.write(f.bytes.data(), static_cast<std::streamsize>(f.bytes.size()));
    if (!stream.flush()) throw InputError("cannot stage " + file.string() + " for the archive");
  }
  // -a: the format and compression by the archive's name (.zip, .tar.gz, .tgz).
  const DWORD code =
      run(tar.wstring(), quoted(tar) + L" -a -c -f " + quoted(fs::absolute(fs::path(path), ec)) +
                             L" -C " + quoted(stage) + L" " + quoted(fs::path(top)));
  if (code != 0) {
    throw InputError(std::string("tar.exe failed (exit code ") + std::to_string(code) +
                     ") writing " + path);
  }
}

std::string platformLines() {
  std::string out;
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  const auto rtlGetVersion =
      ntdll == nullptr ? nullptr
                       : reinterpret_cast<RtlGetVersionFn>(
                             reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlGetVersion")));
  if (rtlGetVersion != nullptr && rtlGetVersion(&version) == 0) {
    out += std::string("System: Windows ") + std::to_string(version.dwMajorVersion) + "." +
           std::to_string(version.dwMinorVersion) + " build " +
           std::to_string(version.dwBuildNumber) + "\n";
  } else {
    out += "System: Windows (version unknown)\n";
  }
  const std::string product = currentVersionText("ProductName");
  const std::string display = currentVersionText("DisplayVersion");
  if (!product.empty()) {
    out += "Edition: " + product + (display.empty() ? "" : " " + display) + "\n";
  }
  SYSTEM_INFO info{};
  ::GetNativeSystemInfo(&info);
  out += "Architecture: " + architectureName(info.wProcessorArchitecture) + "\n";
  out += std::string("Program: vexcard.exe, ") + std::to_string(sizeof(void*) * 8) + "-bit\n";
  return out;
}

std::string driverVersionLines(const std::optional<std::string>& dll) {
  const std::string path = driverLibraryPath(dll);
  DWORD handle = 0;
  const DWORD size = ::GetFileVersionInfoSizeA(path.c_str(), &handle);
  std::vector<char> data(size);
  void* text = nullptr;
  UINT length = 0;
  if (size == 0 || !::GetFileVersionInfoA(path.c_str(), 0, size, data.data()) ||
      !::VerQueryValueA(data.data(), "\\StringFileInfo\\040904B0\\FileVersion", &text, &length) ||
      length == 0) {
    return "Driver: " + path + " (no version found: missing, or not the VexCard driver)\n";
  }
  return "Driver: " + path + ", version " +
         std::string(static_cast<const char*>(text), length - 1) + "\n";
}

std::string settingsPlace() {
  const std::string key = platform::settingsLocation();
  return std::string("registry key HKEY_LOCAL_MACHINE\\") +
         (key.empty() ? "SOFTWARE\\Norvex\\ZUR" : key);
}

unsigned long processTag() { return ::GetCurrentProcessId(); }

}  // namespace vexcard::cli
