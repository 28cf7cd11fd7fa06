// The journal writer: the driver's record of every money request and its outcome, in the
// form journal_format.h describes, kept so that no request is lost even on a power cut.
//
// The exchange appends the request's line before the frame is first written (begin), has
// it flushed to the disk while it waits for the terminal's CTS answer (syncPending), so
// that the flush does not lengthen the exchange, and appends the outcome when the exchange
// has ended (end). The outcome line is not flushed on its own: the next request's flush,
// or the journal's end with the driver, takes it along; an outcome lost to a power cut
// reads as unknown, never as done.
//
// The journal never stops the driver: when its file cannot be opened, written or flushed
// (a full disk, a read-only folder, a FIFO or a device in its place) the request goes out
// all the same, and the first such failure is written to the log once ("Журнал операций
// не записан: <path>; работа продолжается без него", or "не открыт", "не сброшен на
// диск"). Later requests try again, silently. It rotates by size like the log.
//
// Not thread-safe: the link uses it under its exchange lock.
#pragma once

#include <string>
#include <string_view>

#include "link/journal_format.h"
#include "platform/files.h"

namespace vexcard::link {

// What the driver's host operation knows of the money request it is about to send, and
// the link does not: the operation, the purse, the product's name, the host's amount and
// the card. The link takes the rest (packet, transaction, command, product code, price,
// quantity, the refund's card block) from the request itself.
struct JournalContext {
  std::string operation;
  unsigned purse = 0;
  std::string productName;  // Windows-1251, as the product table holds it
  Currency amount{};
  std::string card;  // the card number's digits
};

class Journal {
 public:
  // The journal file at path; nothing is opened before the first request.
  explicit Journal(std::string path);
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Appends the request's line (rotating the file first when it is over its limit).
  void begin(const JournalRequest& request) noexcept;
  // Flushes what begin appended to the disk; does nothing when nothing waits.
  void syncPending() noexcept;
  // Appends the outcome of the request begun last and closes the file.
  void end(const JournalOutcome& outcome) noexcept;
  // Appends the settlement of an earlier request and flushes it to the disk; false when it
  // could not be written (nothing is logged: the tool that settles says it). Not between
  // begin and end. The file is not rotated: a driver appending to the same file meanwhile
  // rotates it before its next request, and the one append never mixes with its records.
  bool settle(const JournalRequest& request, const JournalSettlement& settlement) noexcept;
  // True between begin and end.
  bool open() const { return requestOpen_; }
  const std::string& path() const { return path_; }

 private:
  void failed(std::string_view what) noexcept;
  bool appendRecord(std::string line);

  std::string path_;
  platform::DurableFile file_;
  JournalRequest request_;
  bool requestOpen_ = false;
  bool syncWaiting_ = false;
  bool failureLogged_ = false;
  bool wrote_ = false;  // an outcome line was appended (it is flushed at the end)
};

}  // namespace vexcard::link
