// Cases for the Win32 platform layer: events, the recursive lock, threads, the registry
// settings store and the journal's durable file.
#include <windows.h>

#include <aclapi.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "platform/files.h"
#include "platform/settings_store.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "win32_cases.h"

namespace vexcard::wintest {
namespace {

using platform::Event;
using platform::EventReset;

void eventsCase(Win32Context&, Verdict& v) {
  Event autoEvent(EventReset::kAuto, true);
  v.check(autoEvent.wait(0), "an initially set auto-reset event is not set");
  v.check(!autoEvent.wait(0), "a successful wait does not consume an auto-reset event");
  Event manual(EventReset::kManual);
  v.check(!manual.wait(0), "a new manual-reset event is set");
  manual.set();
  v.check(manual.wait(0) && manual.wait(0), "a manual-reset event does not stay set");
  manual.reset();
  v.check(!manual.wait(10), "reset does not clear a manual-reset event");
}

void waitAnyCase(Win32Context&, Verdict& v) {
  Event a(EventReset::kAuto), b(EventReset::kAuto);
  v.check(Event::waitAny(a, b, 10) == -1, "waitAny without a set event does not time out");
  b.set();
  v.check(Event::waitAny(a, b, 0) == 1, "waitAny does not report the second event");
  a.set();
  b.set();
  v.check(Event::waitAny(a, b, 0) == 0, "waitAny does not prefer the first event");
  v.check(b.wait(0), "waitAny consumed the event it did not return");
}

void lockCase(Win32Context&, Verdict& v) {
  platform::RecursiveLock lock;
  lock.lock();
  v.check(lock.try_lock(), "the owner cannot take the lock again");
  std::atomic<bool> otherGotIt{true};
  platform::Thread other;
  other.start([&] { otherGotIt = lock.try_lock(); });
  other.join();
  v.check(!otherGotIt, "another thread took a held lock");
  lock.unlock();
  lock.unlock();
  other.start([&] {
    otherGotIt = lock.try_lock();
    if (otherGotIt) lock.unlock();
  });
  other.join();
  v.check(otherGotIt, "the lock stays held after the owner released it");
}

void threadCase(Win32Context&, Verdict& v) {
  platform::Thread t;
  std::atomic<bool> current{false};
  std::atomic<int> priority{0};
  t.start(
      [&] {
        current = t.isCurrent();
        priority = ::GetThreadPriority(::GetCurrentThread());
      },
      true);
  v.check(t.joinable(), "a started thread is not joinable");
  v.check(!t.isCurrent(), "isCurrent is true outside the thread");
  t.join();
  v.check(!t.joinable(), "a joined thread stays joinable");
  v.check(current, "isCurrent is false inside the thread");
  v.check(priority == THREAD_PRIORITY_HIGHEST,
          "a high-priority thread runs at level " + std::to_string(priority));
  t.join();  // a second join does nothing
}

// Writes into the driver's real key of the throw-away Wine prefix.
void settingsCase(Win32Context&, Verdict& v) {
  const auto store = platform::SettingsStore::open();
  store->writeInt("VexCardTestValue", -5);
  const auto back = store->readInt("VexCardTestValue");
  v.check(back && *back == -5, "a written value does not read back");
  v.check(!store->readInt("VexCardTestMissing"), "a missing value reads as present");

  HKEY key = nullptr;
  if (!v.check(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvex\\ZUR", 0, KEY_ALL_ACCESS,
                               &key) == ERROR_SUCCESS,
               "the key HKLM\\SOFTWARE\\Norvex\\ZUR does not exist")) {
    return;
  }
  const char text[] = "12";
  ::RegSetValueExA(key, "VexCardTestText", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                   sizeof text);
  v.check(!store->readInt("VexCardTestText"), "a text value reads as an integer");
  ::RegDeleteValueA(key, "VexCardTestText");
  ::RegDeleteValueA(key, "VexCardTestValue");
  ::RegCloseKey(key);
}

std::string contentsOf(const std::string& path) {
  std::string text;
  platform::readWholeFile(path, text);
  return text;
}

// The journal's file: owner-only, appended to by two handles without overwriting, rotated
// while another handle holds it, and never losing a generation to a holder that forbids it.
void durableFileCase(Win32Context&, Verdict& v) {
  char temp[MAX_PATH];
  ::GetTempPathA(MAX_PATH, temp);
  const std::string path = std::string(temp) + "vexcard-journal-case.journal";
  const auto clear = [&] {
    for (const std::string& f : {path, path + ".0", path + ".1", path + ".2",
                                 platform::rotationStage(path)}) {
      // Wine turns the private ACL into a read-only file; Windows keeps the ACL.
      ::SetFileAttributesA(f.c_str(), FILE_ATTRIBUTE_NORMAL);
      ::DeleteFileA(f.c_str());
    }
  };
  clear();
  {
    platform::DurableFile a, b;
    v.check(a.open(path) && b.open(path), "the file does not open twice");
    v.check(a.append("a1\n") && b.append("b1\n") && a.append("a2\n") && a.sync(),
            "an append or the flush fails");
    v.check(contentsOf(path) == "a1\nb1\na2\n", "two writers overwrote each other");
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    // Wine keeps no ACL on files (it maps them to Unix modes): checked on Windows only.
    v.check(runningUnderWine() ||
                (::GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                         nullptr, nullptr, &dacl, nullptr, &sd) == ERROR_SUCCESS &&
                 ::GetSecurityDescriptorControl(sd, &control, &revision) &&
                 (control & SE_DACL_PROTECTED) != 0 && dacl != nullptr && dacl->AceCount == 2),
            "the file's ACL is not the owner's and SYSTEM's alone");
    if (sd != nullptr) ::LocalFree(sd);
    // b still holds the file: it rotates all the same, and b writes on into .0.
    platform::rotateBySize(path, 0, 3);
    v.check(contentsOf(path + ".0") == "a1\nb1\na2\n" && !platform::fileExists(path),
            "the file held by a second writer did not rotate");
    v.check(b.append("b2\n") && contentsOf(path + ".0").ends_with("b2\n"),
            "the second writer lost its file");
  }
  // A holder that forbids the rename (no FILE_SHARE_DELETE): no generation is touched.
  std::FILE* f = std::fopen(path.c_str(), "wb");
  std::fputs("now\n", f);
  std::fclose(f);
  f = std::fopen((path + ".1").c_str(), "wb");
  std::fputs("old\n", f);
  std::fclose(f);
  const HANDLE holder = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  for (int k = 0; k < 3; ++k) platform::rotateBySize(path, 0, 3);
  v.check(contentsOf(path + ".0") == "a1\nb1\na2\nb2\n" && contentsOf(path + ".1") == "old\n" &&
              contentsOf(path) == "now\n",
          "a rotation while the file was held cost a generation");
  ::CloseHandle(holder);
  platform::rotateBySize(path, 0, 3);
  v.check(contentsOf(path + ".0") == "now\n" && contentsOf(path + ".2") == "old\n",
          "the rotation did not go on once the holder let go");
  clear();
}

}  // namespace

void addPlatformCases(std::vector<Case<Win32Context>>& cases) {
  cases.push_back({"events: auto-reset consumed by a wait, manual-reset kept", eventsCase});
  cases.push_back({"events: waitAny prefers the first and consumes only its result", waitAnyCase});
  cases.push_back({"recursive lock: re-entered by its owner, refused to others", lockCase});
  cases.push_back({"threads: isCurrent, highest priority, join", threadCase});
  cases.push_back(
      {"settings store: DWORD values round-trip, other types do not read", settingsCase});
  cases.push_back({"journal file: private, appends of two writers, rotation while held",
                   durableFileCase});
}

}  // namespace vexcard::wintest
