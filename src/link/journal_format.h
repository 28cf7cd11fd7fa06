// The journal of money requests: its records, the form of its lines, and its reader.
//
// The driver appends one line when a money request (tsSale, tsRefund, tsRefundReset,
// tsDebit) is about to go out, made durable before its frame is first written, and one
// line when the exchange has ended with the request's outcome. A request whose outcome line
// is missing (the process died, the power went) reads as "unknown": the terminal may have
// carried it out, and the station reconciles it with the terminal's shift report.
//
// A line is UTF-8 text, fields separated by tabs, ended by a line feed:
//   <time> TAB request TAB port=1 TAB packet=57 TAB txn=3 TAB command=tsSale TAB
//     op=BonusSaleEx TAB purse=19 TAB product=92 TAB name=Аи-92 TAB price=18.50 TAB
//     qty=20.00 TAB amount=370.00 TAB card=12345678901234567890 [TAB block=<hex>]
//   <time> TAB outcome TAB port=1 TAB packet=57 TAB txn=3 TAB command=tsSale TAB
//     result=done TAB code=0 TAB money1=370.00 TAB money2=351.50 TAB money3=1000.00
//     [TAB block=<hex>]
// The time is local, "YYYY-MM-DD hh:mm:ss.zzz" (so that times sort as text). Money is in
// currency units with a full stop and two to four decimals. packet is the packet counter
// (1..9999; the frame carries its low 8 bits); txn the transaction number the request
// carries (16 bits in tsSale and the refunds, 8 in tsDebit). A refund's request holds the
// card block it sends back, a done sale's or debit's outcome the block of its reply, as
// upper-case hex. result is one of "done", "refused", "not carried out", "unknown"; code is
// the reply code (done, refused, and unknown after a final 0x01). Backslash, tab, carriage
// return and line feed inside a value are written \\, \t, \r and \n. Unknown keys are
// ignored by the reader, so fields may be added.
//
// A request of unknown outcome is settled afterwards (from the terminal's shift report) by a
// third record, appended by the tools, never by editing earlier lines:
//   <time> TAB outcome TAB port=1 TAB packet=57 TAB txn=3 TAB command=tsSale TAB
//     result=unknown TAB settled=done TAB of=<the request's time> [TAB note=<text>]
// settled is "done" or "not-done". It is written as an outcome that says "unknown" so that a
// reader that knows no settlement takes it as an outcome record (never as damage) and still
// sees the request as unknown; this reader pairs it with the request of that time, port,
// packet, transaction and command, and leaves the request's own outcome alone.
//
// An outcome belongs to the latest request of the same port and packet that has none yet.
// The file rotates by size like the log (generations .0 newest to .10 oldest); the reader
// reads them oldest first. Pure functions, thread-safe.
//
// A power cut can leave the end of a file torn (a line cut short) or zero-filled, and a later
// record may follow it. The writer starts every record on a fresh line: a file that does not
// end in a line feed first gets a tab and one, so that its torn line, even one cut between
// two fields, has an empty field and never reads as a record. The reader takes as a record only a
// whole line that reads completely, starting with a time and its tag; anything else (a torn line,
// also one cut inside a value, a last line without its line feed, runs of NUL bytes or other junk)
// is damage: skipped up to the next record start, also one within the same line, and reported with
// its place and size. A complete record is never dropped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "link/request_outcome.h"
#include "vexcard/currency.h"

namespace vexcard::link {

// Name of the journal file in its folder (platform::journalFolder()).
inline constexpr std::string_view kJournalFileName = "VexCard.journal";
// Rotation threshold and generations (.0 .. .10), as the log's but smaller: about 6500
// requests with their outcomes fit in one generation.
inline constexpr std::int64_t kJournalSizeLimit = 4 * 1024 * 1024;
inline constexpr int kJournalGenerations = 11;

// A money request as it went out.
struct JournalRequest {
  std::string time;  // local, "YYYY-MM-DD hh:mm:ss.zzz"
  unsigned port = 0;
  std::int32_t packet = 0;
  std::uint32_t transaction = 0;
  std::string command;    // "tsSale", "tsRefund", "tsRefundReset", "tsDebit"
  std::string operation;  // the host operation; empty when none was named
  unsigned purse = 0;
  std::int32_t productCode = 0;
  std::string productName;  // UTF-8
  Currency price{}, quantity{}, amount{};
  std::string card;   // the card number's digits; empty when unknown
  std::string block;  // refunds: the card block sent back, hex
};

// How it ended.
struct JournalOutcome {
  std::string time;
  RequestOutcome outcome = RequestOutcome::kUnknown;
  bool recorded = false;                  // false: no outcome line was found (it reads as unknown)
  int code = -1;                          // the reply code; -1 when there was no reply of its own
  Currency money1{}, money2{}, money3{};  // done: the reply's three money values
  std::string block;                      // done sale or debit: the reply's card block, hex
};

// How a request of unknown outcome was settled afterwards: the terminal did carry it out,
// or did not.
enum class Settlement : std::uint8_t { kNone, kDone, kNotDone };
// "done", "not-done"; empty for kNone.
std::string_view settlementName(Settlement how);
// kNone for a text that names no settlement.
Settlement parseSettlement(std::string_view text);

struct JournalSettlement {
  std::string time;  // when it was recorded
  Settlement how = Settlement::kNone;
  std::string note;  // UTF-8; may be empty
};

struct JournalEntry {
  JournalRequest request;
  JournalOutcome outcome;
  JournalSettlement settlement;  // kNone unless a settlement record names this request

  // The settlement counts while the driver's own outcome is unknown (an outcome line that
  // comes after it, from an exchange that was still under way, wins).
  Settlement settledAs() const {
    return outcome.outcome == RequestOutcome::kUnknown ? settlement.how : Settlement::kNone;
  }
  // Unknown and not settled: still to reconcile.
  bool openUnknown() const {
    return outcome.outcome == RequestOutcome::kUnknown && settlement.how == Settlement::kNone;
  }
};

// The time now, in the journal's form.
std::string journalTime();

// The two lines, each with its line feed.
std::string formatRequestLine(const JournalRequest& request);
std::string formatOutcomeLine(const JournalRequest& request, const JournalOutcome& outcome);
// The settlement of request (settlement.how must not be kNone), with its line feed.
std::string formatSettlementLine(const JournalRequest& request,
                                 const JournalSettlement& settlement);

// Bytes of a journal file that are no record (see above): where they begin and how many.
struct JournalDamage {
  std::string file;
  std::int64_t offset = 0;
  std::int64_t bytes = 0;
};

// Appends the records of text (the contents of one file) to entries, pairing outcomes with
// their requests (also with requests of earlier files already in entries). The damaged
// stretches are skipped and, when damage is given, appended to it (with file as their file).
void parseJournal(std::string_view text, std::vector<JournalEntry>& entries,
                  std::vector<JournalDamage>* damage = nullptr, const std::string& file = {});

// What the reader found in the journal and its rotated generations.
struct JournalContents {
  std::vector<JournalEntry> entries;  // oldest first
  std::vector<JournalDamage> damage;
  int files = 0;  // the files that exist and could be read
};
JournalContents readJournalContents(const std::string& path);
// The journal at path with its rotated generations, oldest first.
std::vector<JournalEntry> readJournal(const std::string& path);

// The path of the driver's journal: the one setJournalPathOverride set, else
// kJournalFileName in platform::journalFolder(). Drivers read it when they are constructed.
std::string journalPath();
// A path that journalPath() returns instead of the platform's, for a program that runs the
// driver in its own process against a simulated terminal (the vexcard command keeps such
// try-outs out of the station's journal) and for vexcard::Env. Empty restores the
// platform's. Thread-safe.
void setJournalPathOverride(std::string path);

// Money in the journal's form ("18.50", "0.0025") and back; false for a malformed text.
std::string journalMoney(Currency value);
bool parseJournalMoney(std::string_view text, Currency& value);

}  // namespace vexcard::link
