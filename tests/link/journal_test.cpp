#include "link/journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <mutex>

#include "logging/logger.h"
#include "platform/files.h"
#include "support/temp_folder.h"

namespace vexcard::link {
namespace {

JournalRequest sale(std::int32_t packet) {
  JournalRequest r;
  r.time = "2026-12-09 12:30:01.123";
  r.port = 1;
  r.packet = packet;
  r.transaction = 3;
  r.command = "tsSale";
  r.operation = "BonusSaleEx";
  r.purse = 19;
  r.productCode = 92;
  r.productName = "Аи-92\tx\\";
  r.price = Currency::fromRaw(185025);
  r.quantity = Currency::fromRaw(200000);
  r.amount = Currency::fromRaw(3700000);
  r.card = "12345678901234567890";
  return r;
}

JournalOutcome done() {
  JournalOutcome o;
  o.time = "2026-12-09 12:30:01.456";
  o.outcome = RequestOutcome::kDone;
  o.code = 0;
  o.money1 = Currency::fromRaw(3700000);
  o.money2 = Currency::fromRaw(3515000);
  o.block = "0A0B";
  return o;
}

std::vector<JournalEntry> parse(const std::string& text) {
  std::vector<JournalEntry> entries;
  parseJournal(text, entries);
  return entries;
}

TEST(JournalFormat, LinesReadBackWithTheirOutcomesPairedByPortAndPacket) {
  const std::string request = formatRequestLine(sale(57));
  const std::string head =
      "2026-12-09 12:30:01.123\trequest\tport=1\tpacket=57\ttxn=3\tcommand=tsSale\top=";
  EXPECT_EQ(request.substr(0, head.size()), head);
  EXPECT_NE(request.find("\tname=Аи-92\\tx\\\\\tprice=18.5025\tqty=20.00\tamount=370.00\t"),
            std::string::npos);
  // A request without outcome, then the same packet index again with one, a torn line.
  const auto entries = parse(request + request + formatOutcomeLine(sale(57), done()) +
                             formatRequestLine(sale(58)).substr(0, 40));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_FALSE(entries[0].outcome.recorded);
  EXPECT_EQ(entries[0].outcome.outcome, RequestOutcome::kUnknown);
  const JournalEntry& e = entries[1];
  EXPECT_EQ(e.request.productName, "Аи-92\tx\\");
  EXPECT_EQ(e.request.price, Currency::fromRaw(185025));
  EXPECT_EQ(e.request.card, "12345678901234567890");
  EXPECT_EQ(e.request.operation, "BonusSaleEx");
  EXPECT_TRUE(e.outcome.recorded);
  EXPECT_EQ(e.outcome.outcome, RequestOutcome::kDone);
  EXPECT_EQ(e.outcome.money2, Currency::fromRaw(3515000));
  EXPECT_EQ(e.outcome.block, "0A0B");
}

TEST(JournalFormat, MoneyTakesTwoToFourDecimalsAndRefusesMalformedText) {
  EXPECT_EQ(journalMoney(Currency::fromRaw(185000)), "18.50");
  EXPECT_EQ(journalMoney(Currency::fromRaw(25)), "0.0025");
  EXPECT_EQ(journalMoney(Currency::fromRaw(-10000)), "-1.00");
  Currency c;
  EXPECT_TRUE(parseJournalMoney("18.5", c) && c.raw == 185000);
  for (const char* bad : {"", "1.23456", "1,5", "x", ".5"}) {
    EXPECT_FALSE(parseJournalMoney(bad, c)) << bad;
  }
}

TEST(JournalFormat, SettlementsPairWithTheirUnknownRequestAndAnOlderReaderSeesUnknown) {
  JournalRequest lost = sale(57), cut = sale(58), sold = sale(59);
  cut.time = "2026-12-09 12:31:00.000";
  JournalOutcome unknown;
  unknown.time = lost.time;
  unknown.code = 1;
  const auto settle = [](const JournalRequest& r, Settlement how, std::string note = {}) {
    return formatSettlementLine(r, {"2026-12-09 20:00:00.000", how, std::move(note)});
  };
  // A recorded unknown, one whose outcome line is missing, a done one; a settlement of the
  // done one and of a request that is not there change nothing.
  const std::string base = formatRequestLine(lost) + formatOutcomeLine(lost, unknown) +
                           formatRequestLine(cut) + formatRequestLine(sold) +
                           formatOutcomeLine(sold, done());
  const std::string settlements =
      settle(lost, Settlement::kDone, "z-report 14\tab\t") + settle(cut, Settlement::kNotDone) +
      settle(sold, Settlement::kNotDone) + settle(sale(60), Settlement::kDone);
  std::vector<JournalDamage> damage;
  std::vector<JournalEntry> e;
  parseJournal(base + settlements, e, &damage);
  ASSERT_EQ(e.size(), 3u);
  EXPECT_TRUE(damage.empty());
  EXPECT_EQ(e[0].settledAs(), Settlement::kDone);
  EXPECT_EQ(e[0].settlement.note, "z-report 14\tab\t");
  EXPECT_EQ(e[0].outcome.code, 1);
  EXPECT_EQ(e[1].settledAs(), Settlement::kNotDone);
  EXPECT_FALSE(e[1].outcome.recorded);
  EXPECT_FALSE(e[1].openUnknown());
  EXPECT_EQ(e[2].settledAs(), Settlement::kNone);
  EXPECT_EQ(e[2].outcome.outcome, RequestOutcome::kDone);
  // The outcome of an exchange still under way when it was settled comes after it and wins.
  e.clear();
  parseJournal(base + settlements + formatOutcomeLine(cut, done()), e);
  EXPECT_EQ(e[1].outcome.outcome, RequestOutcome::kDone);
  EXPECT_EQ(e[1].settledAs(), Settlement::kNone);
  // A reader that knows no settlement ignores the key: it reads outcome records, no damage,
  // and every settled request still unknown.
  std::string older = settlements;
  for (std::size_t at; (at = older.find("\tsettled=")) != std::string::npos;) older[at + 1] = 'x';
  e.clear();
  parseJournal(base + older, e, &damage);
  EXPECT_TRUE(damage.empty());
  EXPECT_TRUE(e[0].openUnknown() && e[1].openUnknown());
  EXPECT_EQ(e[2].outcome.outcome, RequestOutcome::kDone);
  // The writer appends it durably after a torn end, beside the records of a driver.
  test::TempFolder dir;
  const std::string path = dir / "VexCard.journal";
  std::ofstream(path, std::ios::binary) << base << "2026-12-09 13:";
  // A driver's exchange with the same packet is under way meanwhile: its outcome still
  // pairs with its own request.
  Journal driver(path);
  driver.begin(sale(58));
  EXPECT_TRUE(Journal(path).settle(cut, {"2026-12-09 20:00:00.000", Settlement::kDone, "ok"}));
  EXPECT_FALSE(Journal(path).settle(cut, {}));
  driver.end(done());
  const JournalContents read = readJournalContents(path);
  ASSERT_EQ(read.entries.size(), 4u);
  EXPECT_EQ(read.entries[1].settledAs(), Settlement::kDone);
  EXPECT_FALSE(read.entries[1].outcome.recorded);
  EXPECT_EQ(read.entries[3].outcome.outcome, RequestOutcome::kDone);
  EXPECT_EQ(read.damage.size(), 1u);
}

std::mutex gLinesLock;
std::vector<std::string> gLines;
void observe(std::string_view text) noexcept {
  std::lock_guard<std::mutex> g(gLinesLock);
  gLines.emplace_back(text);
}

TEST(JournalWriter, WritesPrivatelyRotatesAndReadsEveryGeneration) {
  test::TempFolder dir;
  const std::string path = dir / "sub/VexCard.journal";  // its folder is made
  {
    Journal journal(path);
    journal.begin(sale(1));
    journal.syncPending();
    journal.end(done());
  }
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Over its limit, the file becomes generation .0 at the next request.
  std::ofstream(path, std::ios::app) << std::string(kJournalSizeLimit, '#') << '\n';
  Journal journal(path);
  journal.begin(sale(2));
  journal.end(done());
  EXPECT_TRUE(platform::fileExists(path + ".0"));
  EXPECT_LT(platform::fileSize(path), 1000);
  const auto entries = readJournal(path);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].request.packet, 1);
  EXPECT_EQ(entries[1].request.packet, 2);
  EXPECT_TRUE(entries[1].outcome.recorded);
}

TEST(JournalReader, SkipsDamageToTheNextRecordReportsItAndLosesNoCompleteRecord) {
  const std::string one = formatRequestLine(sale(1)), outcome = formatOutcomeLine(sale(1), done());
  const std::string torn = outcome.substr(0, outcome.find("money2=") + 9);  // "money2=35"
  std::vector<JournalDamage> damage;
  std::vector<JournalEntry> entries;
  // Junk before a record on its own line and within the record's line, a torn last line.
  parseJournal(one + std::string(60, '\0') + "\n" + "x\ty" + one + torn, entries, &damage, "f");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_FALSE(entries[1].outcome.recorded);
  ASSERT_EQ(damage.size(), 2u);
  EXPECT_EQ(damage[0].offset, static_cast<std::int64_t>(one.size()));
  EXPECT_EQ(damage[0].bytes, 64);
  EXPECT_EQ(damage[1].bytes, static_cast<std::int64_t>(torn.size()));

  // The writer starts its record on a fresh line after a torn or zero-filled end.
  test::TempFolder dir;
  const std::string path = dir / "VexCard.journal";
  for (const std::string& tail : {torn, std::string(60, '\0')}) {
    std::ofstream(path, std::ios::binary) << one << tail;
    Journal(path).begin(sale(2));
    const JournalContents contents = readJournalContents(path);
    ASSERT_EQ(contents.entries.size(), 2u);
    EXPECT_EQ(contents.entries[1].request.time, sale(2).time);
    EXPECT_EQ(contents.damage.at(0).bytes, static_cast<std::int64_t>(tail.size() + 2));
  }
  // Every generation is read, the oldest (.10) first.
  for (int n = 0; n < kJournalGenerations; ++n) {
    std::ofstream(path + "." + std::to_string(n)) << formatRequestLine(sale(100 - n));
  }
  // A rotation cut short left its stage: read after .0, and finished by the next rotation.
  std::ofstream(platform::rotationStage(path)) << formatRequestLine(sale(101));
  const JournalContents all = readJournalContents(path);
  ASSERT_EQ(all.entries.size(), 14u);
  EXPECT_EQ(all.files, 13);
  EXPECT_EQ(all.entries[0].request.packet, 90);
  EXPECT_EQ(all.entries[11].request.packet, 101);
  platform::rotateBySize(path, kJournalSizeLimit, kJournalGenerations);
  EXPECT_FALSE(platform::fileExists(platform::rotationStage(path)));
  EXPECT_EQ(readJournal(path + ".0").size(), 1u);
  EXPECT_EQ(readJournal(path).size(), 13u);  // only the oldest generation went
}

TEST(JournalWriter, AFifoOrAReadOnlyFolderIsReportedOnceAndNothingStops) {
  test::TempFolder dir;
  const std::string fifo = dir / "VexCard.journal";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ::mkdir((dir / "ro").c_str(), 0500);
  logging::setLineObserver(observe);
  for (const std::string& path : {fifo, dir / "ro/VexCard.journal"}) {
    gLines.clear();
    Journal journal(path);
    for (int k = 0; k < 3; ++k) {
      journal.begin(sale(k));
      journal.syncPending();
      journal.end(done());
      EXPECT_FALSE(journal.open());
    }
    // Root writes into a read-only folder; the FIFO is refused whoever runs the test.
    if (path == fifo || ::geteuid() != 0) {
      ASSERT_EQ(gLines.size(), 1u) << path;
      EXPECT_NE(gLines[0].find(path), std::string::npos);
    }
  }
  logging::setLineObserver(nullptr);
}

}  // namespace
}  // namespace vexcard::link
