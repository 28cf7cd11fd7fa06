#include "logging/logger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "driver/env.h"
#include "platform/clock.h"
#include "support/temp_folder.h"

namespace vexcard::logging {
namespace {

namespace fs = std::filesystem;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A fresh log state, a fixed clock (6 December 2023, 14:20:09.123) and a temporary folder.
class LoggerTest : public ::testing::Test {
 protected:
  LoggerTest() : env(fixedClock()) { testing::resetLogState(); }
  ~LoggerTest() override { testing::resetLogState(); }
  std::string logFile() const { return dir / "VexCard.log"; }

  static Env fixedClock() {
    Env e;
    const double t = platform::encodeOle({2023, 12, 6, 14, 20, 9, 123});
    e.clock = [t] { return t; };
    return e;
  }

  EnvScope env;
  vexcard::test::TempFolder dir;
};

constexpr const char* kStamp = "06.12 14:20:09.123";

TEST_F(LoggerTest, FirstLineAfterLoadIsPrecededByOneEmptyLine) {
  SetLogPath(logFile());
  WriteLog(1, "RTS_ON");
  WriteLog(1, "CTS_OFF");
  EXPECT_EQ(readFile(logFile()),
            std::string("\r\n+ ") + kStamp + " [] RTS_ON\r\n+ " + kStamp + " [] CTS_OFF\r\n");
  // A new path in the same load adds no second empty line.
  SetLogPath(dir / "other.log");
  WriteLog(1, "x");
  EXPECT_EQ(readFile(dir / "other.log"), std::string("+ ") + kStamp + " [] x\r\n");
}

TEST_F(LoggerTest, LineCarriesPrefixTimeStampEmptyTagAndTextUnchanged) {
  SetLogPath(logFile());
  WriteLog(1, "RTS_ON");
  WriteLog(0, "100% %s %d %n");
  WriteLog(6, "six");
  WriteLog(200, "beyond");
  WriteLog(3, "");
  EXPECT_EQ(readFile(logFile()),
            "\r\n"
            "+ 06.12 14:20:09.123 [] RTS_ON\r\n"
            "- 06.12 14:20:09.123 [] 100% %s %d %n\r\n"
            "^ 06.12 14:20:09.123 [] six\r\n"
            "^ 06.12 14:20:09.123 [] beyond\r\n"
            "! 06.12 14:20:09.123 [] \r\n");
}

TEST_F(LoggerTest, NothingIsWrittenWithoutAPath) {
  WriteLog(1, "before InitLog");
  EXPECT_EQ(LogPath(), "");
  SetLogPath(logFile());
  WriteLog(1, "now");
  EXPECT_EQ(readFile(logFile()), std::string("\r\n+ ") + kStamp + " [] now\r\n");
}

// Fills the active file with size bytes without writing them (a sparse file).
void growTo(const std::string& path, std::uintmax_t size) {
  writeFile(path, "");
  fs::resize_file(path, size);
}

TEST_F(LoggerTest, FileBeyondTheLimitIsArchivedAndGenerationsShift) {
  SetLogPath(logFile());
  growTo(logFile(), kLogSizeLimit + 1);
  for (int n = 0; n <= 10; ++n)
    writeFile(logFile() + "." + std::to_string(n), "gen " + std::to_string(n));
  WriteLog(1, "fresh");

  EXPECT_EQ(fs::file_size(logFile() + ".0"), kLogSizeLimit + 1u);
  for (int n = 1; n <= 10; ++n) {
    EXPECT_EQ(readFile(logFile() + "." + std::to_string(n)), "gen " + std::to_string(n - 1));
  }
  EXPECT_FALSE(fs::exists(logFile() + ".11"));
  EXPECT_EQ(readFile(logFile()), std::string("\r\n+ ") + kStamp + " [] fresh\r\n");
}

TEST_F(LoggerTest, MissingGenerationsAreSkipped) {
  SetLogPath(logFile());
  growTo(logFile(), kLogSizeLimit + 5);
  writeFile(logFile() + ".2", "two");
  WriteLog(1, "fresh");
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir.path())) names.insert(e.path().filename());
  EXPECT_EQ(names, (std::set<std::string>{"VexCard.log", "VexCard.log.0", "VexCard.log.3"}));
  EXPECT_EQ(readFile(logFile() + ".3"), "two");
}

TEST_F(LoggerTest, FileOfExactlyTheLimitIsNotRotated) {
  SetLogPath(logFile());
  growTo(logFile(), kLogSizeLimit);
  WriteLog(1, "appended");
  EXPECT_FALSE(fs::exists(logFile() + ".0"));
  const std::string line = std::string("\r\n+ ") + kStamp + " [] appended\r\n";
  EXPECT_EQ(fs::file_size(logFile()), kLogSizeLimit + line.size());
  // Now beyond the limit: the next line rotates.
  WriteLog(1, "next");
  EXPECT_TRUE(fs::exists(logFile() + ".0"));
  EXPECT_EQ(readFile(logFile()), std::string("+ ") + kStamp + " [] next\r\n");
}

TEST_F(LoggerTest, RotateLogHonoursItsLimitArgument) {
  SetLogPath(logFile());
  writeFile(logFile(), "12345");
  RotateLog(5);
  EXPECT_FALSE(fs::exists(logFile() + ".0"));
  RotateLog(4);
  EXPECT_EQ(readFile(logFile() + ".0"), "12345");
  EXPECT_FALSE(fs::exists(logFile()));
}

TEST_F(LoggerTest, MissingFolderIsNeverCreatedAndLoggingStops) {
  const std::string missing = dir / "missing";
  SetLogPath(missing + "/VexCard.log");
  WriteLog(1, "lost");
  EXPECT_FALSE(fs::exists(missing));
  EXPECT_EQ(LogPath(), "");
  WriteLog(1, "also not written");
  EXPECT_FALSE(fs::exists(missing));
}

TEST_F(LoggerTest, FailedLineIsKeptAndWrittenFirstAfterANewPath) {
  SetLogPath(dir / "missing/VexCard.log");
  WriteLog(1, "kept");
  WriteLog(1, "dropped: no path");
  SetLogPath(logFile());
  WriteLog(1, "after");
  EXPECT_EQ(readFile(logFile()),
            std::string("\r\n+ ") + kStamp + " [] kept\r\n+ " + kStamp + " [] after\r\n");
}

TEST_F(LoggerTest, InitLogDiscardsPendingLinesAndUsesTheProgramPath) {
  SetLogPath(dir / "missing/VexCard.log");
  WriteLog(1, "pending");
  InitLog(".LOG");
  const std::string exe = fs::read_symlink("/proc/self/exe");
  const fs::path expected = fs::path(exe).replace_extension(".LOG");
  EXPECT_EQ(LogPath(), expected.string());

  SetLogPath(logFile());
  WriteLog(1, "after");
  EXPECT_EQ(readFile(logFile()), std::string("\r\n+ ") + kStamp + " [] after\r\n");
}

TEST_F(LoggerTest, ExistingFileIsAppendedAndAFolderInTheWayStopsLogging) {
  writeFile(logFile(), "old\r\n");
  SetLogPath(logFile());
  WriteLog(1, "new");
  EXPECT_EQ(readFile(logFile()), std::string("old\r\n\r\n+ ") + kStamp + " [] new\r\n");

  fs::create_directory(dir / "folder.log");
  SetLogPath(dir / "folder.log");
  WriteLog(1, "x");
  EXPECT_EQ(LogPath(), "");
  EXPECT_TRUE(fs::is_directory(dir / "folder.log"));
}

// A FIFO at the log path (with or without a reader) is no log file: the write neither
// blocks nor goes to it, and logging stops as after a failed open.
TEST_F(LoggerTest, FifoAtThePathNeverBlocksAndStopsLogging) {
  const std::string fifo = dir / "fifo.log";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (bool reader : {false, true}) {
    const int fd = reader ? ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK) : -1;
    SetLogPath(fifo);
    auto done = std::async(std::launch::async, [] { WriteLog(1, "x"); });
    const bool returned = done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    // A writer stuck in the open is let go by a reader, so that the test can end.
    if (!returned) ::close(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK));
    EXPECT_TRUE(returned);
    done.wait();
    EXPECT_EQ(LogPath(), "");
    if (fd >= 0) {
      char c;
      EXPECT_LE(::read(fd, &c, 1), 0);  // nothing was written into it
      ::close(fd);
    }
  }
}

// A write cut short (the file-size limit stands in for a full disk) is cut back whole;
// the empty first line and the pending lines wait for the next write that succeeds.
TEST_F(LoggerTest, ShortWriteLeavesNoTornLineAndKeepsWhatIsStillToWrite) {
  SetLogPath(dir / "missing/VexCard.log");
  WriteLog(1, "pending");
  writeFile(logFile(), "old\r\n");
  SetLogPath(logFile());
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previous), 0);
  rlimit limit{}, saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  limit = saved;
  limit.rlim_cur = 20;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  WriteLog(1, "torn");
  const std::string afterFailure = readFile(logFile());
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
  ::sigaction(SIGXFSZ, &previous, nullptr);
  EXPECT_EQ(afterFailure, "old\r\n");
  WriteLog(1, "next");
  EXPECT_EQ(readFile(logFile()),
            std::string("old\r\n\r\n+ ") + kStamp + " [] pending\r\n+ " + kStamp + " [] next\r\n");
}

TEST_F(LoggerTest, ConcurrentWritersNeverMixWithinALine) {
  SetLogPath(logFile());
  constexpr int kThreads = 4, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string filler(100 + 40 * t, static_cast<char>('a' + t));
      for (int k = 0; k < kLines; ++k) {
        std::string text = "T";  // not literal + temporary: a false -Wrestrict in GCC 12
        text += std::to_string(t) + " #" + std::to_string(k) + " " + filler;
        WriteLog(1, text);
      }
    });
  }
  for (auto& th : threads) th.join();

  const std::string text = readFile(logFile());
  ASSERT_EQ(text.substr(0, 2), "\r\n");
  const std::regex shape(R"(\+ 06\.12 14:20:09\.123 \[\] T([0-9]) #([0-9]+) ([a-z]+))");
  std::vector<int> next(kThreads, 0);
  std::size_t pos = 2, lines = 0;
  while (pos < text.size()) {
    const std::size_t end = text.find("\r\n", pos);
    ASSERT_NE(end, std::string::npos);
    const std::string line = text.substr(pos, end - pos);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
    const int t = std::stoi(m[1]);
    EXPECT_EQ(std::stoi(m[2]), next[t]++) << "lines of one thread keep their order";
    EXPECT_EQ(m[3].str(), std::string(100 + 40 * t, static_cast<char>('a' + t)));
    pos = end + 2;
    ++lines;
  }
  EXPECT_EQ(lines, std::size_t{kThreads * kLines});
}

// Restores an environment variable at the end of a test.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_, old_->c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(DefaultLogPath, FolderComesFromTheEnvironmentWithAFixedFileName) {
  ScopedEnv home("HOME", "/home/cashier");
  ScopedEnv state("XDG_STATE_HOME", nullptr);
  {
    ScopedEnv dir("VEXCARD_LOG_DIR", "/srv/vexcard/logs/");
    EXPECT_EQ(DefaultLogPath(), "/srv/vexcard/logs/VexCard.log");
  }
  {
    ScopedEnv dir("VEXCARD_LOG_DIR", "");
    EXPECT_EQ(DefaultLogPath(), "/home/cashier/.local/state/vexcard/LogFiles/VexCard.log");
    ScopedEnv xdg("XDG_STATE_HOME", "/state");
    EXPECT_EQ(DefaultLogPath(), "/state/vexcard/LogFiles/VexCard.log");
  }
  ScopedEnv no_home("HOME", nullptr);
  EXPECT_EQ(DefaultLogPath(), "/var/log/vexcard/VexCard.log");
}

}  // namespace
}  // namespace vexcard::logging
