#include "cli/batch.h"

#include <CLI/CLI.hpp>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/app.h"
#include "cli/host_commands.h"
#include "cli/progress.h"
#include "cli/report.h"
#include "cli/session.h"
#include "cli/text_util.h"
#include "platform/sync.h"
#include "platform/timing.h"

namespace vexcard::cli {

namespace {

constexpr double kMaxSleepSeconds = 3600;

// One line to run: a prepared host operation, a pause, or a card put in the reader.
struct BatchLine {
  int number = 0;
  std::string text;                      // as written, for the text heading
  const HostCommand* command = nullptr;  // nullptr: sleep or insert
  PreparedCall call;
  double seconds = 0;
  std::optional<std::string> insert;  // insert: the card's name; empty: none
};

bool isGlobalOption(const std::string& word) {
  for (const char* name : {"--port", "--simulator", "--sim-config", "--sim-state", "--card",
                           "--fault", "--log", "--json", "--test-timing"}) {
    if (word == name || word.rfind(std::string(name) + "=", 0) == 0) return true;
  }
  return false;
}

// sim: the simulated terminal's configuration (its cards are the names insert takes).
BatchLine parseLine(int number, const std::string& text, std::vector<std::string> words,
                    const sim::SimulatorConfig* sim) {
  BatchLine line;
  line.number = number;
  line.text = text;
  const std::string name = words.front();
  words.erase(words.begin());
  for (const std::string& w : words) {
    if (isGlobalOption(w)) {
      throw UsageError(w + " applies to the whole batch: give it before `batch`");
    }
  }
  if (name == "sleep") {
    const auto seconds = words.size() == 1 ? parseDecimal(words[0]) : std::nullopt;
    if (!seconds || *seconds < 0 || *seconds > kMaxSleepSeconds) {
      throw UsageError("sleep takes a number of seconds from 0 to 3600");
    }
    line.seconds = *seconds;
    return line;
  }
  if (name == "insert") {
    if (words.size() != 1) throw UsageError("insert takes one card: its name, or none");
    if (words[0] != "none" && sim->findCard(words[0]) == nullptr) {
      throw UsageError("insert: the simulated terminal has no card '" + words[0] + "'");
    }
    line.insert = words[0] == "none" ? std::string() : words[0];
    return line;
  }
  line.command = findHostCommand(name);
  if (line.command == nullptr) throw UsageError("unknown operation '" + name + "'");
  line.call = prepareHostCall(*line.command, parseArgs(words, line.command->options));
  return line;
}

// Well-formed UTF-8: every lead byte followed by its continuation bytes, no overlong
// two-byte forms, nothing beyond U+10FFFF.
bool isUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const std::size_t n = b < 0x80   ? 1
                          : b < 0xC2 ? 0
                          : b < 0xE0 ? 2
                          : b < 0xF0 ? 3
                          : b < 0xF5 ? 4
                                     : 0;
    if (n == 0 || s.size() - i < n) return false;
    for (std::size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

// Every line of the text checked and prepared; UsageError naming the first bad line.
std::vector<BatchLine> parseBatch(const std::string& text, const sim::SimulatorConfig* sim) {
  std::vector<BatchLine> lines;
  // A byte-order mark, as some Windows editors write one, is not part of the first line.
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  std::size_t start = text.starts_with(kBom) ? kBom.size() : 0;
  for (int number = 1; start < text.size(); ++number) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    CLI::detail::trim(line);
    if (line.empty() || line[0] == '#') continue;
    // The line is shown in messages and headings: it is never echoed as raw bytes.
    if (!isUtf8(line)) {
      throw UsageError("batch line " + std::to_string(number) +
                       ": not UTF-8 text (save the file as UTF-8)");
    }
    try {
      lines.push_back(parseLine(number, line, CLI::detail::split_up(line), sim));
    } catch (const UsageError& e) {
      throw UsageError("batch line " + std::to_string(number) + ": " + e.what());
    }
  }
  return lines;
}

}  // namespace

int runBatch(const ParsedArgs& a, std::ostream& out, std::ostream& err, bool errIsTerminal) {
  if (a.positional().size() > 1) throw UsageError("batch takes one FILE (or -)");
  const std::string path = a.positional().empty() ? "-" : a.positional()[0];
  const std::string text = readInputFile(path, "batch");
  const SessionOptions options = sessionOptionsFrom(a);
  const std::vector<BatchLine> lines = parseBatch(text, &options.simConfig);
  const bool json = a.has("json");
  std::unique_ptr<Session> session;
  {
    Progress progress(err, errIsTerminal);
    try {
      session = std::make_unique<Session>(options);
    } catch (const std::exception& e) {
      progress.clear();
      err << "vexcard: cannot create the driver: " << errorText(e) << "\n";
      if (json) {
        out << toJson(Report()
                          .text("command", "", "batch")
                          .flag("ok", "", false)
                          .text("error", "", errorText(e)))
            << "\n";
      }
      return kExitDriverError;
    }
  }
  int rc = kExitOk;
  for (const BatchLine& line : lines) {
    if (!json) out << "--- line " << line.number << ": " << line.text << "\n" << std::flush;
    if (line.insert && session->simulator() == nullptr) {
      // A real terminal has its own reader: the line stands for presenting the card there,
      // so that one batch file serves the simulator and a replay of its log alike.
      Report r;
      r.integer("line", "", line.number).text("command", "", "insert").flag("ok", "", true);
      r.text("card", "Reader", *line.insert, "a real terminal: present the card to its reader");
      out << (json ? toJson(r) + "\n" : toText(r, 2)) << std::flush;
      continue;
    }
    if (line.insert) {
      sim::TerminalSimulator& sim = *session->simulator();
      if (line.insert->empty()) {
        sim.removeCard();
      } else {
        sim.insertCard(*line.insert);
      }
      Report r;
      r.integer("line", "", line.number).text("command", "", "insert").flag("ok", "", true);
      if (line.insert->empty()) {
        r.null("card", "Reader", "no card");
      } else {
        const auto card = sim.card(*line.insert);
        r.text("card", "Reader", *line.insert,
               std::string("card ").append(sim::cardNumberDigits(card->number)));
        r.money("balance", "Balance", static_cast<double>(card->balance) / 100.0);
      }
      out << (json ? toJson(r) + "\n" : toText(r, 2)) << std::flush;
      continue;
    }
    if (line.command == nullptr) {
      platform::sleepMs(
          static_cast<std::uint32_t>(line.seconds * timing::ms(timing::Delay::kScriptSecond)));
      if (json) {
        out << toJson(Report()
                          .integer("line", "", line.number)
                          .text("command", "", "sleep")
                          .flag("ok", "", true)
                          .number("seconds", "", line.seconds))
            << "\n"
            << std::flush;
      }
      continue;
    }
    Progress progress(err, errIsTerminal);
    const Outcome outcome = line.call(*session);
    progress.clear();
    printOutcome(line.command->name, outcome, *session, json, out, err, line.number);
    // An unknown outcome anywhere in the batch outweighs a plain failure.
    if (!outcome.ok() && rc != kExitOutcomeUnknown) rc = outcome.exitCode();
  }
  try {
    session->saveState();
  } catch (const InputError& e) {
    err << "vexcard: " << e.what() << "\n";
    if (rc == kExitOk) rc = kExitFailure;
  }
  return rc;
}

}  // namespace vexcard::cli
