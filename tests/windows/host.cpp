// The Windows test host: loads VexCard.dll as the cash-desk program does and checks it
// from outside, through the export table and the shared C++ runtime only.
//
// Usage: vexcard_win_host [folder]   (default: the folder of this program)
// Prints one line per case and closes with "N passed, N failed"; the exit code is 0 when
// every case passed. A case that needs the library is failed, not skipped, when the
// library cannot be loaded, so a missing or broken build never passes.
#include <windows.h>
// after windows.h, which it needs
#include <tlhelp32.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "check.h"
#include "pe_exports.h"
#include "vexcard/exception.h"

#if __has_include("vexcard/host_interface.h")
#include "vexcard/host_interface.h"
using HostObjectPtr = vexcard::HostObject*;
#else
using HostObjectPtr = void*;
#endif

namespace {

using vexcard::wintest::readExports;
using vexcard::wintest::readImports;
using vexcard::wintest::Verdict;

// The exported entry as the host declares it: stdcall, the port in one 32-bit slot.
using GeTDriverFn = HostObjectPtr(__stdcall*)(std::uint8_t port);

struct Context {
  std::string folder;
  HMODULE library = nullptr;
  DWORD loadError = 0;
  GeTDriverFn getDriver = nullptr;
};

using Case = vexcard::wintest::Case<Context>;

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool requireLibrary(const Context& ctx, Verdict& v) {
  if (ctx.library == nullptr) {
    v.check(false, "VexCard.dll could not be loaded from " + ctx.folder + " (error " +
                       std::to_string(ctx.loadError) + ")");
    return false;
  }
  return true;
}

bool requireEntry(const Context& ctx, Verdict& v) {
  if (!requireLibrary(ctx, v)) return false;
  v.check(ctx.getDriver != nullptr, "GeTDriver is not exported");
  return ctx.getDriver != nullptr;
}

// Destroys a driver the host was not supposed to get, so that its threads do not outlive
// the case.
void release(HostObjectPtr driver) {
#if __has_include("vexcard/host_interface.h")
  if (driver != nullptr) {
    auto destroy = reinterpret_cast<const vexcard::HostDestructorFn*>(driver->slots)[-1];
    destroy(driver);
  }
#else
  (void)driver;
#endif
}

// Runs GeTDriver(port) and returns the message of the vexcard::Exception it raised;
// a driver returned instead, or an error of another type, fails the case.
std::string errorOfGetDriver(const Context& ctx, Verdict& v, std::uint8_t port) {
  try {
    HostObjectPtr driver = ctx.getDriver(port);
    release(driver);
    v.check(false, "GeTDriver(" + std::to_string(port) + ") returned a driver");
  } catch (const vexcard::Exception& e) {
    return e.message();
  } catch (const std::exception& e) {
    v.check(false, std::string("not a vexcard::Exception: ") + e.what());
  } catch (...) {
    v.check(false, "an exception of an unknown type");
  }
  return {};
}

int threadCount() {
  const HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return -1;
  int count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = ::Thread32First(snap, &entry); ok; ok = ::Thread32Next(snap, &entry)) {
    if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++count;
  }
  ::CloseHandle(snap);
  return count;
}

const std::vector<Case>& cases() {
  static const std::vector<Case> kCases = {
      {"the library loads from the host's folder",
       [](Context& ctx, Verdict& v) { requireLibrary(ctx, v); }},

      {"GeTDriver is the library's only export",
       [](Context& ctx, Verdict& v) {
         if (!requireLibrary(ctx, v)) return;
         const auto exports = readExports(ctx.library);
         std::string names;
         for (const auto& n : exports.names) names += " " + n;
         v.check(exports.names.size() == 1 && exports.names[0] == "GeTDriver",
                 "exported names:" + names);
         v.check(exports.functionCount == 1,
                 std::to_string(exports.functionCount) + " exported functions");
         v.check(ctx.getDriver != nullptr, "GetProcAddress does not find GeTDriver");
       }},

      // A library linked with its own copy of the C++ runtime would throw exceptions the
      // host cannot catch.
      {"the library shares the host's C++ runtime",
       [](Context& ctx, Verdict& v) {
         if (!requireLibrary(ctx, v)) return;
         std::string all;
         bool stdcxx = false, gcc = false;
         for (const auto& name : readImports(ctx.library)) {
           all += " " + name;
           stdcxx = stdcxx || lower(name) == "libstdc++-6.dll";
           gcc = gcc || lower(name).rfind("libgcc_s_", 0) == 0;
         }
         v.check(stdcxx && gcc, "imports:" + all);
       }},

      {"GeTDriver(0) raises \"Port COM0 not open\" as vexcard::Exception",
       [](Context& ctx, Verdict& v) {
         if (!requireEntry(ctx, v)) return;
         const std::string message = errorOfGetDriver(ctx, v, 0);
         v.check(message == "Port COM0 not open", "message: \"" + message + "\"");
       }},

      {"a failed GeTDriver leaves no thread behind",
       [](Context& ctx, Verdict& v) {
         if (!requireEntry(ctx, v)) return;
         const int before = threadCount();
         errorOfGetDriver(ctx, v, 0);
         const int after = threadCount();
         v.check(before >= 0 && before == after,
                 "threads before " + std::to_string(before) + ", after " + std::to_string(after));
       }},

      // Cases that call the operations by slot against the terminal simulator join here
      // once a Windows process can reach it (COM n mapped to rfc2217://HOST:PORT).
  };
  return kCases;
}

std::string programFolder() {
  char path[MAX_PATH];
  const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string s(path, n);
  const auto cut = s.find_last_of("\\/");
  return cut == std::string::npos ? std::string(".") : s.substr(0, cut);
}

}  // namespace

int main(int argc, char** argv) {
  // No message boxes for a missing DLL: the failure shows in the case results.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  Context ctx;
  ctx.folder = argc > 1 ? argv[1] : programFolder();
  ctx.library = ::LoadLibraryA((ctx.folder + "\\VexCard.dll").c_str());
  if (ctx.library == nullptr) {
    ctx.loadError = ::GetLastError();
  } else {
    ctx.getDriver = reinterpret_cast<GeTDriverFn>(
        reinterpret_cast<void*>(::GetProcAddress(ctx.library, "GeTDriver")));
  }

  const int failed = vexcard::wintest::runCases(cases(), ctx);
  if (ctx.library != nullptr) ::FreeLibrary(ctx.library);
  return failed == 0 ? 0 : 1;
}
