// The Windows test host: loads VexCard.dll as the cash-desk program does and checks it
// from outside, through the export table and the shared C++ runtime only.
//
// Usage: vexcard_win_host [--line N] [--terminal N] [folder]
//   folder        where VexCard.dll lies (default: the folder of this program)
//   --line N      COM N opens as a serial line (a pseudo-terminal in the Wine prefix): the
//                 driver is created on it and its small slots are called by position
//   --terminal N  COM N reaches the terminal simulator with the bonus card in its reader
//                 (VEXCARD_COM<N>=rfc2217://HOST:PORT): a bonus sale and its refund
// Prints one line per case and closes with "N passed, N failed, N skipped"; the exit code
// is 0 when no case failed. A case that needs the library is failed, not skipped, when
// the library cannot be loaded, so a missing or broken build never passes; the cases of
// an option not given are skipped.
#include <windows.h>
// after windows.h, which it needs
#include <tlhelp32.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "pe_exports.h"
#include "platform/codepage.h"
#include "support/host_calls.h"
#include "vexcard/exception.h"
#include "vexcard/host_interface.h"
#include "vexcard/vexcard.h"

using HostObjectPtr = vexcard::HostObject*;

// The C header declares the same records and the same argument lists as the C++ interface.
static_assert(sizeof(::TCardInfo) == sizeof(vexcard::TCardInfo) &&
              sizeof(::TPurseInfo) == sizeof(vexcard::TPurseInfo) &&
              sizeof(::TItemList) == sizeof(vexcard::TItemList) &&
              sizeof(::TSaleResult) == sizeof(vexcard::TSaleResult) &&
              sizeof(::TSaleResultEx) == sizeof(vexcard::TSaleResultEx) &&
              sizeof(::TBonusResult) == sizeof(vexcard::TBonusResult) &&
              sizeof(::TBonusResultStr) == sizeof(vexcard::TBonusResultStr) &&
              sizeof(VxVariant) == sizeof(vexcard::Variant) &&
              sizeof(VxSlots) == sizeof(vexcard::HostSlots));
#define VX_SAME_ARGS(slot)                                                      \
  static_assert(vexcard::kArgBytes32<decltype(VxSlots::slot)> ==                \
                    vexcard::kArgBytes32<decltype(vexcard::HostSlots::slot)> && \
                offsetof(VxSlots, slot) == offsetof(vexcard::HostSlots, slot))
VX_SAME_ARGS(DataReceived);
VX_SAME_ARGS(GetVersion);
VX_SAME_ARGS(SetHostFlag);
VX_SAME_ARGS(GetHostFlag);
VX_SAME_ARGS(SubSchet);
VX_SAME_ARGS(HostSlot5);
VX_SAME_ARGS(HostSlot6);
VX_SAME_ARGS(CardInfo);
VX_SAME_ARGS(HostSlot8);
VX_SAME_ARGS(OilLimit);
VX_SAME_ARGS(HostSlot10);
VX_SAME_ARGS(BonusSale);
VX_SAME_ARGS(SubSchetEx);
VX_SAME_ARGS(OpenShift);
VX_SAME_ARGS(CloseShift);
VX_SAME_ARGS(RefundSale);
VX_SAME_ARGS(OpenPurse);
VX_SAME_ARGS(ItemLimit);
VX_SAME_ARGS(CardQuantity);
VX_SAME_ARGS(CardQuantityEx);
VX_SAME_ARGS(BonusSale2);
VX_SAME_ARGS(HostSlot21);
VX_SAME_ARGS(BonusSaleEx);
VX_SAME_ARGS(HostSlot23);
VX_SAME_ARGS(HostSlot24);
VX_SAME_ARGS(HostSlot25);
VX_SAME_ARGS(HostSlot26);
VX_SAME_ARGS(HostSlot27);
VX_SAME_ARGS(BonusSaleExStr);
#undef VX_SAME_ARGS

namespace {

using namespace vexcard::literals;
using vexcard::test::callSlot;
using vexcard::test::filled;
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
  unsigned linePort = 0;      // --line
  unsigned terminalPort = 0;  // --terminal
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
  if (driver != nullptr) vexcard::hostDestructor(driver)(driver);
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

// GeTDriver(port) as the host calls it; a raised error fails the case.
HostObjectPtr createDriver(const Context& ctx, Verdict& v, unsigned port) {
  try {
    HostObjectPtr host = ctx.getDriver(static_cast<std::uint8_t>(port));
    v.check(host != nullptr, "GeTDriver returned null");
    return host;
  } catch (const vexcard::Exception& e) {
    v.check(false, "GeTDriver(" + std::to_string(port) + "): " + e.message());
  }
  return nullptr;
}

// A short-string field of a result record, read as the host reads it.
template <std::size_t N>
std::string text(const vexcard::ShortString<N>& field) {
  const std::size_t n = field.bytes[0] < N ? field.bytes[0] : N - 1;
  return std::string(reinterpret_cast<const char*>(field.bytes + 1), n);
}

// A text of the library's version resource (its first translation), empty when absent.
std::string versionText(const std::vector<char>& info, const char* name) {
  struct Translation {
    WORD language, codePage;
  };
  Translation* translations = nullptr;
  UINT size = 0;
  if (!::VerQueryValueA(info.data(), "\\VarFileInfo\\Translation",
                        reinterpret_cast<void**>(&translations), &size) ||
      size < sizeof(Translation)) {
    return {};
  }
  char path[96];
  std::snprintf(path, sizeof path, "\\StringFileInfo\\%04x%04x\\%s", translations[0].language,
                translations[0].codePage, name);
  char* value = nullptr;
  if (!::VerQueryValueA(info.data(), path, reinterpret_cast<void**>(&value), &size)) return {};
  return std::string(value, size > 0 ? size - 1 : 0);
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

      {"the library's version resource names this release",
       [](Context& ctx, Verdict& v) {
         if (!requireLibrary(ctx, v)) return;
         const std::string path = ctx.folder + "\\VexCard.dll";
         DWORD handle = 0;
         std::vector<char> info(::GetFileVersionInfoSizeA(path.c_str(), &handle));
         if (!v.check(!info.empty() &&
                          ::GetFileVersionInfoA(path.c_str(), 0, static_cast<DWORD>(info.size()),
                                                info.data()),
                      "no version resource")) {
           return;
         }
         for (const char* name : {"FileVersion", "ProductVersion"}) {
           const std::string text = versionText(info, name);
           v.check(text == VEXCARD_VERSION, std::string(name) + " \"" + text + "\"");
         }
         v.check(versionText(info, "ProductName") == "VexCard", "another ProductName");
         v.check(!versionText(info, "FileDescription").empty(), "no FileDescription");
         VS_FIXEDFILEINFO* fixed = nullptr;
         UINT size = 0;
         v.check(::VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &size) &&
                     fixed->dwSignature == 0xFEEF04BD && (fixed->dwFileType == VFT_DLL),
                 "no fixed file information for a DLL");
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

      {"the driver on a serial line answers its small slots by position",
       [](Context& ctx, Verdict& v) {
         if (ctx.linePort == 0) return v.skip("no --line port given");
         if (!requireEntry(ctx, v)) return;
         HostObjectPtr host = createDriver(ctx, v, ctx.linePort);
         if (host == nullptr) return;

         std::uint8_t version[vexcard::kVersionBufferSize + 1];
         std::memset(version, 0xFF, sizeof version);
         callSlot<vexcard::GetVersionFn>(host, 1, version, host);
         const std::string_view expected = "v2.4#Веркан"_w1251;
         v.check(version[0] == expected.size() &&
                     std::string_view(reinterpret_cast<const char*>(version + 1),
                                      expected.size()) == expected,
                 "GetVersion wrote another text");
         v.check(version[vexcard::kVersionBufferSize] == 0xFF,
                 "GetVersion wrote past its 12 bytes");

         v.check(callSlot<vexcard::GetHostFlagFn>(host, 3, host, 9u) == 0,
                 "the host flag does not start at 0");
         callSlot<vexcard::SetHostFlagFn>(host, 2, host, 7u, std::uint8_t{5});
         v.check(callSlot<vexcard::GetHostFlagFn>(host, 3, host, 9u) == 5,
                 "the host flag was not kept");
         v.check(callSlot<vexcard::HostSlot25Fn>(host, 25, host) == 0, "HostSlot25 is not 0");

         auto r5 = filled<vexcard::TSaleResult>();
         callSlot<vexcard::HostSlot5Fn>(host, 5, &r5, host, 1u, 2u, 3u);
         v.check(r5.Status == 0 && r5.CardPrefix.length() == 0 && r5.CardNumber.length() == 0 &&
                     r5.ExtraText.length() == 0 && r5.Amount == 0.0,
                 "HostSlot5 did not write an empty sale result");
         v.check(r5.Word56 == 0xAAAA && r5.Word58 == 0xAAAA,
                 "HostSlot5 wrote fields it does not own");

         // Both slots without a body raise, and the stack is still balanced after them
         // (a wrong argument size would show in the calls that follow).
         for (const int index : {21, 24}) {
           try {
             callSlot<vexcard::HostSlot21Fn>(host, index, host);
             v.check(false, "slot " + std::to_string(index) + " returned");
           } catch (const vexcard::EAbstractError& e) {
             v.check(e.message() == "Abstract Error", "message: \"" + e.message() + "\"");
           } catch (...) {
             v.check(false, "slot " + std::to_string(index) + " raised another error");
           }
         }
         v.check(callSlot<vexcard::GetHostFlagFn>(host, 3, host, 0u) == 5, "the host flag changed");

         // A host's string literal: count -1 on a read-only page. A write would end the run.
         auto* page = static_cast<std::int32_t*>(
             ::VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
         page[0] = -1;
         page[1] = 4;
         std::memcpy(page + 2, "fuel", 5);
         DWORD old = 0;
         ::VirtualProtect(page, 4096, PAGE_READONLY, &old);
         const auto literal = reinterpret_cast<vexcard::LongStrHandle>(page + 2);
         callSlot<vexcard::HostSlot8Fn>(host, 8, host, literal);
         v.check(page[0] == -1, "HostSlot8 changed the literal's count");
         ::VirtualFree(page, 0, MEM_RELEASE);
         release(host);
       }},

      {"destroying the driver ends its threads",
       [](Context& ctx, Verdict& v) {
         if (ctx.linePort == 0) return v.skip("no --line port given");
         if (!requireEntry(ctx, v)) return;
         const int before = threadCount();
         HostObjectPtr host = createDriver(ctx, v, ctx.linePort);
         if (host == nullptr) return;
         v.check(threadCount() > before, "the driver started no thread");
         release(host);
         const int after = threadCount();
         v.check(before >= 0 && before == after,
                 "threads before " + std::to_string(before) + ", after " + std::to_string(after));
       }},

      {"a bonus sale and its refund through the simulated terminal",
       [](Context& ctx, Verdict& v) {
         if (ctx.terminalPort == 0) return v.skip("no --terminal port given");
         if (!requireEntry(ctx, v)) return;
         HostObjectPtr host = createDriver(ctx, v, ctx.terminalPort);
         if (host == nullptr) return;
         try {
           // 20 l of product 92 (purse 19) for 370.00; the card takes 3.5 % off it.
           std::uint8_t block[79] = {};
           auto sale = filled<vexcard::TBonusResult>();
           callSlot<vexcard::BonusSaleExFn>(host, 22, &sale, host, 'S', std::uint8_t{19}, 20.0,
                                            370.0, nullptr, nullptr, nullptr, block, 78);
           v.check(sale.Status == 0, "sale status " + std::to_string(sale.Status));
           v.check(sale.Incomplete == 0, "the sale is not complete");
           v.check(text(sale.CardType) == "1000", "card type " + text(sale.CardType));
           v.check(text(sale.CardNumber) == "2264300000000000",
                   "card number " + text(sale.CardNumber));
           v.check(std::fabs(sale.SummaSk - 357.05) < 1e-9 &&
                       std::fabs(sale.CosteSK - 17.85) < 1e-9 &&
                       std::fabs(sale.Skidka - 3.5) < 1e-9,
                   "figures " + std::to_string(sale.SummaSk) + " " + std::to_string(sale.CosteSK) +
                       " " + std::to_string(sale.Skidka));
           v.check(sale.Gap1[0] == 0xAA && sale.Gap26[0] == 0xAA && sale.Gap40[15] == 0xAA,
                   "the sale wrote the record's gaps");
           v.check(block[0] != 0, "the sale handed back no card block");

           // The refund hands the sale's card block back.
           auto refund = filled<vexcard::TBonusResult>();
           callSlot<vexcard::BonusSaleExFn>(host, 22, &refund, host, '+', std::uint8_t{19}, 20.0,
                                            370.0, nullptr, nullptr, nullptr, block, 78);
           v.check(refund.Status == 0, "refund status " + std::to_string(refund.Status));
           v.check(text(refund.CardNumber) == "2264300000000000",
                   "refund card number " + text(refund.CardNumber));
         } catch (const vexcard::Exception& e) {
           v.check(false, "error: " + e.message());
         }
         release(host);
       }},
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
  ctx.folder = programFolder();
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--line" || arg == "--terminal") && i + 1 < argc) {
      const auto port = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
      (arg == "--line" ? ctx.linePort : ctx.terminalPort) = port;
    } else if (arg.rfind("--", 0) == 0) {
      std::fprintf(stderr, "usage: vexcard_win_host [--line N] [--terminal N] [folder]\n");
      return 2;
    } else {
      ctx.folder = arg;
    }
  }
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
