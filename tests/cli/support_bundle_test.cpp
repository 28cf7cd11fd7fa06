// vexcard support-bundle run as a process: the archive holds the logs, the journal, the
// versions and the summary, and no full card number in any of its forms.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "child_process.h"
#include "support/temp_folder.h"

namespace vexcard::test {
namespace {

namespace fs = std::filesystem;

const std::string kVexcard = VEXCARD_CLI_PATH;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class SupportBundleTest : public ::testing::Test {
 protected:
  ProcessResult run(std::vector<std::string> args) {
    return runProcess(kVexcard, args,
                      {{"VEXCARD_LOG_DIR", tmp_ / "logs"},
                       {"VEXCARD_SETTINGS_DIR", ""},
                       {"XDG_STATE_HOME", tmp_ / "state"}});
  }
  std::string simulatorJournal() {
    return tmp_ / "state/vexcard/registry/SOFTWARE/Norvex/ZUR/VexCard.simulator.journal";
  }
  TempFolder tmp_;
};

TEST_F(SupportBundleTest, NoFullCardNumberInAnyFileOfTheBundle) {
  fs::create_directories(tmp_ / "logs");
  // A sale, a refund with its card block and a non-cash sale: card numbers in reply
  // dumps, sale lines, the refund's frame and the journal's card and block fields.
  const ProcessResult sale =
      run({"--json", "bonus-sale", "--purse", "19", "--qty", "20", "--sum", "370"});
  const std::size_t at = sale.out.find("\"card_block\":\"");
  ASSERT_NE(at, std::string::npos) << sale.out;
  const std::string block = sale.out.substr(at + 14, 158);
  // A new run's simulator refuses it (no such sale), but its frame carries the block.
  run({"refund", "--purse", "19", "--qty", "20", "--sum", "370", "--block", block});
  ASSERT_EQ(run({"noncash-sale", "--card", "fuel", "--purse", "21", "--qty", "30", "--sum", "1200"})
                .exitCode,
            0);
  // Rotated between a tsReadCard request and its reply: the active file begins with a
  // reply whose request is in generation .0.
  const std::string whole = readFile(tmp_ / "logs/VexCard.log");
  const std::size_t reply = whole.rfind('\n', whole.find("26 43 00 00 00 00 00 01 23 45")) + 1;
  std::ofstream(tmp_ / "logs/VexCard.log.0", std::ios::binary) << whole.substr(0, reply);
  std::ofstream(tmp_ / "logs/VexCard.log", std::ios::binary) << whole.substr(reply);

  const std::vector<std::string> cards = {"26430000000000012345", "77010000000000067890"};
  const std::string log = readFile(tmp_ / "logs/VexCard.log");
  const std::string journal = readFile(simulatorJournal());
  ASSERT_NE(journal.find("card=26430000000000012345"), std::string::npos);
  ASSERT_NE(journal.find("command=tsRefund"), std::string::npos);
  ASSERT_NE(journal.find("block=26430000000000012345"), std::string::npos);
  ASSERT_NE(log.find("26 43 00 00 00 00 00 01 23 45"), std::string::npos);

  const std::string out = tmp_ / "bundle.tar.gz";
  const ProcessResult r = run({"support-bundle", out, "--journal", simulatorJournal()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("bundle/journal/VexCard.simulator.journal"), std::string::npos) << r.out;
  ASSERT_EQ(runProcess("/bin/tar", {"-xzf", out, "-C", tmp_.path()}).exitCode, 0);

  const fs::path top = tmp_ / "bundle";
  for (const char* name : {"info.txt", "summary.txt", "log/VexCard.log", "log/VexCard.log.0",
                           "journal/VexCard.simulator.journal"}) {
    EXPECT_TRUE(fs::exists(top / name)) << name;
  }
  EXPECT_NE(readFile(top / "info.txt").find("Tools: vexcard "), std::string::npos);
  EXPECT_NE(readFile(top / "info.txt").find("SmenaNum"), std::string::npos);
  EXPECT_NE(readFile(top / "summary.txt").find("tsRefund"), std::string::npos);
  const std::string masked = readFile(top / "journal/VexCard.simulator.journal");
  EXPECT_NE(masked.find("card=264300**********2345"), std::string::npos);
  EXPECT_NE(masked.find("block=264300FFFFFFFFFF234500"), std::string::npos);  // still hex
  for (const auto& entry : fs::recursive_directory_iterator(top)) {
    if (!entry.is_regular_file()) continue;
    const std::string text = readFile(entry.path());
    for (const std::string& card : cards) {
      std::string bcd, frame;  // "26 43 00 ..." in reply dumps, "32 36 34 33 ..." in frames
      for (std::size_t k = 0; k < card.size(); ++k) {
        bcd += card[k] + std::string(k % 2 == 1 && k + 1 < card.size() ? " " : "");
        frame += std::string("3") + card[k] + (k + 1 < card.size() ? " " : "");
      }
      for (const std::string& form : {card, bcd, frame, card.substr(0, 15)}) {
        EXPECT_EQ(text.find(form), std::string::npos) << entry.path() << ": " << form;
      }
    }
  }
}

TEST_F(SupportBundleTest, ZipNoOverwriteWithoutForceAndNoPartialFile) {
  const std::string out = tmp_ / "b.zip";
  ASSERT_EQ(run({"support-bundle", out}).exitCode, 0);
  const std::string zip = readFile(out);
  EXPECT_EQ(zip.substr(0, 4), std::string("PK\x03\x04", 4));
  EXPECT_NE(zip.find("b/info.txt"), std::string::npos);

  std::ofstream(out, std::ios::trunc) << "mine";
  const ProcessResult again = run({"support-bundle", out});
  EXPECT_EQ(again.exitCode, 3);
  EXPECT_NE(again.err.find("--force"), std::string::npos);
  EXPECT_EQ(readFile(out), "mine");
  EXPECT_EQ(run({"support-bundle", out, "--force"}).exitCode, 0);
  EXPECT_EQ(readFile(out).substr(0, 2), "PK");

  EXPECT_NE(run({"--json", "support-bundle", tmp_ / "j.tgz"}).out.find("\"j/info.txt\""),
            std::string::npos);
  EXPECT_NE(run({"support-bundle", "--help"}).out.find("  journal/ "), std::string::npos);
  EXPECT_EQ(run({"support-bundle", tmp_ / "b.rar"}).exitCode, 2);
  EXPECT_EQ(run({"support-bundle", tmp_ / "missing/b.tgz"}).exitCode, 3);
  for (const auto& entry : fs::directory_iterator(tmp_.path())) {
    EXPECT_EQ(entry.path().filename().string().find(".partial"), std::string::npos);
  }
}

}  // namespace
}  // namespace vexcard::test
