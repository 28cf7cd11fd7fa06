#include "cli/progress.h"

#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "cli/text_util.h"
#include "link/link_state.h"
#include "link/status_texts.h"
#include "logging/logger.h"
#include "logreader/log_decoder.h"
#include "platform/codepage.h"

namespace vexcard::cli {

using namespace vexcard::literals;

namespace {

// State shared with the observer; guarded by mutex.
struct Shared {
  std::mutex mutex;
  Progress* active = nullptr;
  bool statusShown = false;
  std::vector<std::uint8_t> lastText;  // the latest request text
  int attempt = 0;
  std::string command;  // its command name
};

Shared& shared() {
  static Shared s;
  return s;
}

void observe(std::string_view text) noexcept {
  try {
    Shared& s = shared();
    std::lock_guard<std::mutex> g(s.mutex);
    if (s.active != nullptr) s.active->onLine(text);
  } catch (...) {
    // Progress is a courtesy: a failure to show it must not disturb the driver.
  }
}

std::string failureText(std::string_view caption) {
  constexpr std::pair<std::int32_t, const char*> kStates[] = {
      {link::kLinkReplyTimeout, "no complete reply within the wait"},
      {link::kLinkNotReady, "the terminal refused the command"},
      {link::kLinkBadTerminator, "the reply did not end with ETX"},
      {link::kLinkSendFailed, "the request could not be written"},
  };
  for (const auto& [state, text] : kStates) {
    const std::string stateText = link::LinkStateText(state, 0);
    if (caption.substr(0, stateText.size()) == stateText) return text;
  }
  return {};
}

}  // namespace

Progress::Progress(std::ostream& err, bool enabled) : err_(err), enabled_(enabled) {
  if (!enabled_) return;
  Shared& s = shared();
  {
    std::lock_guard<std::mutex> g(s.mutex);
    s.active = this;
    s.statusShown = false;
    s.lastText.clear();
    s.attempt = 0;
  }
  logging::setLineObserver(&observe);
}

Progress::~Progress() {
  if (!enabled_) return;
  logging::setLineObserver(nullptr);
  clear();
  // An observer call that loaded the pointer before the line above may still be running:
  // it takes the lock and finds no active object.
  Shared& s = shared();
  std::lock_guard<std::mutex> g(s.mutex);
  s.active = nullptr;
}

void Progress::clear() {
  if (!enabled_) return;
  Shared& s = shared();
  std::lock_guard<std::mutex> g(s.mutex);
  if (s.statusShown) {
    err_ << "\r\033[K" << std::flush;
    s.statusShown = false;
  }
}

// Caller holds the shared lock.
void Progress::status(const std::string& text) {
  err_ << "\r\033[K" << text << std::flush;
  shared().statusShown = true;
}

// Caller holds the shared lock.
void Progress::keep(const std::string& text) {
  err_ << "\r\033[K" << text << "\n" << std::flush;
  shared().statusShown = false;
}

// Caller holds the shared lock (the observer takes it).
void Progress::onLine(std::string_view text) {
  Shared& s = shared();
  if (text == "Не удалось связаться с терминалом"_w1251) {
    keep("the terminal does not answer the hand-shake, trying again");
    return;
  }
  const auto port = logreader::findPortLine(text);
  if (!port) return;
  if (port->text.substr(0, 5) == "Send:") {
    auto chars = logreader::dumpBytes(port->text.substr(5));
    if (!chars) return;
    s.attempt = *chars == s.lastText ? s.attempt + 1 : 1;
    s.lastText = std::move(*chars);
    const logreader::DecodedRequest req = logreader::parseRequestText(s.lastText);
    s.command = req.command.empty() ? "request" : logreader::commandName(req.command[0]);
    status(s.command + ": attempt " + std::to_string(s.attempt) +
           " of 5, waiting for the terminal...");
    return;
  }
  const std::string failure = failureText(port->text);
  if (!failure.empty() && s.attempt > 0) {
    keep(s.command + ": attempt " + std::to_string(s.attempt) + " of 5 failed: " + failure);
  }
}

}  // namespace vexcard::cli
