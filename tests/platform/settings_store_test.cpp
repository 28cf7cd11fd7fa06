#include "platform/settings_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>

#include "driver/env.h"
#include "support/temp_folder.h"
#include "vexcard/exception.h"

namespace vexcard::platform {
namespace {

namespace fs = std::filesystem;

// Sets an environment variable for one test and restores it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class SettingsStoreTest : public ::testing::Test {
 protected:
  std::string folder() const { return dir / "ZUR"; }
  std::unique_ptr<SettingsStore> openStore() { return SettingsStore::open(); }
  void put(const std::string& name, const std::string& text) {
    std::ofstream(folder() + "/" + name, std::ios::binary) << text;
  }

  // The installed Env with the store in folder (empty: the platform's place).
  static Env storeIn(const std::string& folder) {
    Env e = currentEnv();
    e.settingsFolder = folder;
    return e;
  }

  vexcard::test::TempFolder dir;
  EnvScope env{storeIn(folder())};
};

TEST_F(SettingsStoreTest, ValuesRoundTripAndOneFileHoldsEachValue) {
  auto store = openStore();
  EXPECT_TRUE(fs::is_directory(folder()));  // created when missing
  for (std::int32_t v : {1, 9999, 0, -5, INT32_MAX, INT32_MIN}) {
    store->writeInt("RiederIndexPacket", v);
    EXPECT_EQ(store->readInt("RiederIndexPacket"), v);
  }
  store->writeInt("SmenaNum", 6);
  EXPECT_EQ(openStore()->readInt("SmenaNum"), 6);  // seen by a store opened later
  std::ifstream in(folder() + "/SmenaNum");
  std::string text;
  std::getline(in, text);
  EXPECT_EQ(text, "6");
  // Nothing but the two values is left in the folder.
  EXPECT_EQ(std::distance(fs::directory_iterator(folder()), fs::directory_iterator()), 2);
}

TEST_F(SettingsStoreTest, MissingOrMalformedValuesReadAsNothing) {
  auto store = openStore();
  EXPECT_EQ(store->readInt("SmenaNum"), std::nullopt);
  for (const char* bad : {"", "abc", "12a", " 5", "+5", "5 ", "5\n\n", "2147483648", "-2147483649",
                          "0x10", "1.5", "\n"}) {
    put("SmenaNum", bad);
    EXPECT_EQ(store->readInt("SmenaNum"), std::nullopt) << '"' << bad << '"';
  }
  put("SmenaNum", "-2147483648");
  EXPECT_EQ(store->readInt("SmenaNum"), INT32_MIN);
  put("SmenaNum", "13\n");  // a hand-edited file with its line end
  EXPECT_EQ(store->readInt("SmenaNum"), 13);
  put("SmenaNum", std::string(100, '1'));
  EXPECT_EQ(store->readInt("SmenaNum"), std::nullopt);

  fs::create_directory(folder() + "/Folder");
  EXPECT_EQ(store->readInt("Folder"), std::nullopt);
  ASSERT_EQ(mkfifo((folder() + "/Fifo").c_str(), 0600), 0);
  EXPECT_EQ(store->readInt("Fifo"), std::nullopt);  // and does not hang
  EXPECT_EQ(store->readInt("../ZUR/SmenaNum"), std::nullopt);
  EXPECT_THROW(store->writeInt("../escape", 1), Exception);
  EXPECT_THROW(store->writeInt(".hidden", 1), Exception);
}

TEST_F(SettingsStoreTest, FailedWritesThrowAndLeaveNoTemporaryBehind) {
  auto store = openStore();
  store->writeInt("SmenaNum", 3);
  fs::create_directory(folder() + "/RiederIndexPacket");  // a folder in the value's place
  EXPECT_THROW(store->writeInt("RiederIndexPacket", 1), Exception);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder()), fs::directory_iterator()), 2);

  fs::remove_all(folder());  // the key vanishes under an open store
  EXPECT_THROW(store->writeInt("SmenaNum", 4), Exception);
  EXPECT_EQ(store->readInt("SmenaNum"), std::nullopt);
}

TEST_F(SettingsStoreTest, StoreThatCannotBeOpenedReadsNothingAndThrowsOnWrite) {
  std::ofstream(dir / "plain") << "not a folder";
  EnvScope blocked(storeIn(dir / "plain/ZUR"));
  auto store = openStore();  // does not throw
  EXPECT_EQ(store->readInt("SmenaNum"), std::nullopt);
  try {
    store->writeInt("SmenaNum", 1);
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_NE(e.message().find("SmenaNum"), std::string::npos) << e.message();
  }
}

TEST_F(SettingsStoreTest, ReadOnlyFolderMakesWritesThrow) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  auto store = openStore();
  store->writeInt("SmenaNum", 2);
  fs::permissions(folder(), fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_THROW(store->writeInt("SmenaNum", 3), Exception);
  fs::permissions(folder(), fs::perms::owner_all);
  EXPECT_EQ(store->readInt("SmenaNum"), 2);
}

TEST_F(SettingsStoreTest, DefaultFolderIsTheVariablesOrLiesUnderTheHomeFolder) {
  EnvScope platformPlace(storeIn(""));
  ScopedEnv variable("VEXCARD_SETTINGS_DIR", (dir / "var").c_str());
  openStore()->writeInt("SmenaNum", 4);
  EXPECT_TRUE(fs::exists(dir / "var/SmenaNum"));
  ScopedEnv unset("VEXCARD_SETTINGS_DIR", nullptr);
  ScopedEnv state("XDG_STATE_HOME", nullptr);
  ScopedEnv home("HOME", dir.path().c_str());
  openStore()->writeInt("SmenaNum", 5);
  EXPECT_TRUE(fs::exists(dir / ".local/state/vexcard/registry/SOFTWARE/Norvex/ZUR/SmenaNum"));
  {
    // A relative XDG_STATE_HOME is ignored: the store stays under the home folder.
    ScopedEnv relative("XDG_STATE_HOME", "relative-state");
    openStore()->writeInt("SmenaNum", 7);
    EXPECT_FALSE(fs::exists("relative-state"));
    fs::remove_all("relative-state");
  }
  ScopedEnv xdg("XDG_STATE_HOME", (dir / "state").c_str());
  openStore()->writeInt("SmenaNum", 6);
  EXPECT_TRUE(fs::exists(dir / "state/vexcard/registry/SOFTWARE/Norvex/ZUR/SmenaNum"));
}

// Temporaries of writers that no longer run are removed when the store opens; those of a
// live process (this one) may be in the middle of a write and stay.
TEST_F(SettingsStoreTest, OpeningRemovesTheTemporariesOfDeadWriters) {
  openStore();
  const pid_t dead = fork();
  if (dead == 0) _exit(0);
  ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
  const std::string mine = ".SmenaNum.tmp." + std::to_string(getpid()) + ".7";
  for (const std::string& name : {".SmenaNum.tmp." + std::to_string(dead) + ".0", mine,
                                  std::string(".SmenaNum.tmp.x.1"), std::string("A.tmp.1.2")}) {
    put(name, "1");
  }
  openStore();
  std::set<std::string> left;
  for (const auto& e : fs::directory_iterator(folder())) left.insert(e.path().filename());
  EXPECT_EQ(left, (std::set<std::string>{mine, ".SmenaNum.tmp.x.1", "A.tmp.1.2"}));
}

// A writer process killed at an arbitrary moment of a tight write loop: whatever it was
// doing, the value read afterwards is one it wrote completely, and opening the store
// afterwards leaves none of its temporaries. VEXCARD_KILL_ROUNDS sets the number of kills
// (20 by default) for a longer measurement; the figure is printed.
TEST_F(SettingsStoreTest, KilledWriterNeverLeavesATornOrEmptyValue) {
  const char* roundsText = getenv("VEXCARD_KILL_ROUNDS");
  const int rounds = roundsText != nullptr ? std::max(1, std::atoi(roundsText)) : 20;
  int torn = 0, temporariesFound = 0, temporariesLeft = 0;
  openStore();  // creates the folder
  for (int round = 0; round < rounds; ++round) {
    int sync[2];
    ASSERT_EQ(pipe(sync), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(sync[0]);
      fcntl(sync[1], F_SETFL, O_NONBLOCK);
      auto store = SettingsStore::open();
      const std::int32_t base = 1000000 * (round % 1000 + 1);
      for (std::int32_t v = 1;; ++v) {
        // Alternating lengths make a torn value show as a number out of range.
        store->writeInt("RiederIndexPacket", v % 2 ? base + v : -v);
        const char tick = 1;
        (void)!write(sync[1], &tick, 1);
      }
    }
    close(sync[1]);
    // Let the child complete a few writes, then kill it somewhere in its loop.
    char ticks[64];
    int seen = 0;
    while (seen < 1 + round % 4) {
      const ssize_t n =
          read(sync[0], ticks, std::min<std::size_t>(sizeof ticks, 1 + round % 4 - seen));
      ASSERT_GT(n, 0);
      seen += static_cast<int>(n);
    }
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    close(sync[0]);

    const auto others = [&] {
      return static_cast<int>(
          std::distance(fs::directory_iterator(folder()), fs::directory_iterator()) - 1);
    };
    temporariesFound += others();
    const std::optional<std::int32_t> v = openStore()->readInt("RiederIndexPacket");
    const std::int32_t base = 1000000 * (round % 1000 + 1);
    const bool odd_value = v && *v > base && *v < base + 1000000 && (*v - base) % 2 == 1;
    const bool even_value = v && *v < 0 && *v > -1000000 && (-*v) % 2 == 0;
    if (!odd_value && !even_value) ++torn;
    temporariesLeft += others();
  }
  std::printf(
      "settings store: %d writers killed, %d torn or empty values, %d temporaries "
      "found after a kill, %d left after opening\n",
      rounds, torn, temporariesFound, temporariesLeft);
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(temporariesLeft, 0);
}

}  // namespace
}  // namespace vexcard::platform
