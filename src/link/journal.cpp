#include "link/journal.h"

#include <utility>

#include "logging/logger.h"
#include "platform/codepage.h"

namespace vexcard::link {

using namespace vexcard::literals;

namespace {

std::string folderOf(const std::string& path) {
  const std::size_t end = path.find_last_of(platform::kPathDelimiters);
  return end == std::string::npos ? std::string() : path.substr(0, end);
}

}  // namespace

Journal::Journal(std::string path) : path_(std::move(path)) {}

Journal::~Journal() {
  // The last outcome line goes to the disk with the driver's end, not with a request that
  // never comes.
  if (wrote_ && (file_.isOpen() || file_.open(path_))) file_.sync();
}

void Journal::begin(const JournalRequest& request) noexcept {
  try {
    file_.close();
    requestOpen_ = false;
    syncWaiting_ = false;
    platform::rotateBySize(path_, kJournalSizeLimit, kJournalGenerations);
    if (!file_.open(path_)) {
      // The folder may be missing (on Windows it is the journal's own).
      const std::string folder = folderOf(path_);
      if (folder.empty() || !platform::makeFolders(folder) || !file_.open(path_)) {
        return failed("open");
      }
    }
    request_ = request;
    if (!appendRecord(formatRequestLine(request_))) {
      file_.close();
      return failed("write");
    }
    requestOpen_ = true;
    syncWaiting_ = true;
  } catch (...) {
    file_.close();
    failed("write");
  }
}

void Journal::syncPending() noexcept {
  if (!syncWaiting_) return;
  syncWaiting_ = false;
  if (!file_.sync()) failed("flush");
}

void Journal::end(const JournalOutcome& outcome) noexcept {
  if (!requestOpen_) return;
  requestOpen_ = false;
  syncWaiting_ = false;
  try {
    if (!appendRecord(formatOutcomeLine(request_, outcome))) failed("write");
    wrote_ = true;
    // The next request rotates a file over its limit: what it holds is flushed now, since
    // that request's flush reaches only the new file.
    if (file_.size() > kJournalSizeLimit) file_.sync();
  } catch (...) {
    failed("write");
  }
  file_.close();
}

bool Journal::settle(const JournalRequest& request, const JournalSettlement& settlement) noexcept {
  if (requestOpen_ || settlement.how == Settlement::kNone) return false;
  bool ok = false;
  try {
    file_.close();
    ok = file_.open(path_) && appendRecord(formatSettlementLine(request, settlement)) &&
         file_.sync();
  } catch (...) {
  }
  file_.close();
  return ok;
}

bool Journal::appendRecord(std::string line) {
  // A record starts on a fresh line, also after a torn or zero-filled end left by a power
  // cut. The torn line is ended with an empty field (a tab), so that a line cut between or
  // inside values can never read as a complete record.
  if (file_.endsMidLine()) line.insert(0, "\t\n");
  return file_.append(line);
}

void Journal::failed(std::string_view what) noexcept {
  if (failureLogged_) return;
  failureLogged_ = true;
  const std::string_view action = what == "open"    ? "не открыт"_w1251
                                  : what == "flush" ? "не сброшен на диск"_w1251
                                                    : "не записан"_w1251;
  try {
    logging::WriteLog(1, std::string("Журнал операций "_w1251) + std::string(action) + ": " +
                             path_ + std::string("; работа продолжается без него"_w1251));
  } catch (...) {
  }
}

}  // namespace vexcard::link
