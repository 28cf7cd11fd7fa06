#include "cli/support_bundle.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <set>
#include <system_error>

#include "cli/app.h"
#include "cli/driver_loader.h"
#include "cli/log_summary_report.h"
#include "cli/report.h"
#include "link/journal_format.h"
#include "link/terminal_link.h"
#include "logging/logger.h"
#include "logreader/card_mask.h"
#include "logreader/log_decoder.h"
#include "logreader/log_file.h"
#include "logreader/log_summary.h"
#include "platform/files.h"
#include "platform/settings_store.h"
#include "vexcard/version.h"

namespace vexcard::cli {
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kCardDigits = 20;
constexpr std::size_t kKeptFirst = 6;
constexpr std::size_t kKeptLast = 4;
constexpr std::size_t kMinCardDigits = 13;  // a shorter run of digits is no card number
constexpr int kLogGenerations = 11;         // the log's .0 .. .10, as the logger rotates it

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return isDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

// The archive endings the command writes, longest first.
const char* const kEndings[] = {".tar.gz", ".tgz", ".zip"};

std::string endingOf(const std::string& name) {
  for (const char* e : kEndings) {
    const std::string ending(e);
    if (name.size() > ending.size() &&
        name.compare(name.size() - ending.size(), ending.size(), ending) == 0) {
      return ending;
    }
  }
  return {};
}

// A file and its rotated generations, oldest first: .10 .. .0, the stage of a rotation
// under way, the active file. Only those that exist and can be read.
struct Generation {
  std::string path;
  std::string bytes;
};
// Files that exist but cannot be read (no rights) go to unreadable.
std::vector<Generation> readGenerations(const std::string& path, int generations,
                                        std::vector<std::string>& unreadable) {
  std::vector<Generation> found;
  for (int n = generations - 1; n >= -2; --n) {
    Generation g;
    g.path = n == -2   ? path
             : n == -1 ? platform::rotationStage(path)
                       : path + "." + std::to_string(n);
    if (platform::readWholeFile(g.path, g.bytes)) {
      found.push_back(std::move(g));
    } else if (platform::fileExists(g.path)) {
      unreadable.push_back(g.path);
    }
  }
  return found;
}

// The card numbers the unmasked texts show in clear: the journal's card= fields and the
// heads of its card blocks, and every run of 13 to 20 digits in the log's lines and in the
// log reader's account of them (which names the card of every reply that carries one; the
// generations are read as one log, so that a reply finds its request in the one before).
std::set<std::string> clearCards(const std::vector<Generation>& logs,
                                 const std::vector<Generation>& journals) {
  std::set<std::string> cards;
  const auto digitRuns = [&](std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
      std::size_t end = at;
      while (end < text.size() && isDigit(text[end])) ++end;
      if (end - at >= kMinCardDigits && end - at <= kCardDigits) {
        cards.insert(std::string(text.substr(at, end - at)));
      }
      at = end == at ? at + 1 : end;
    }
  };
  logreader::LogDecoder decoder;
  for (const Generation& g : logs) {
    for (const std::string_view line : logreader::splitLines(g.bytes)) {
      for (const std::string& text : decoder.feed(line)) digitRuns(text);
    }
  }
  for (const Generation& g : journals) {
    digitRuns(g.bytes);
    for (std::size_t at = 0; (at = g.bytes.find("block=", at)) != std::string::npos;) {
      at += 6;
      const std::string head = g.bytes.substr(at, kCardDigits);
      if (head.size() == kCardDigits && head.find_first_not_of("0123456789") == std::string::npos) {
        cards.insert(head);
      }
    }
  }
  return cards;
}

// The forms in which a card number can stand in the files: its digits, the BCD bytes of a
// reply dump ("26 43 00 ..."), the characters of a request frame's dump ("32 36 34 33 ...").
std::vector<std::string> cardForms(const std::string& digits) {
  std::vector<std::string> forms{digits};
  if (digits.size() == kCardDigits) {
    std::string bcd, frame;
    for (std::size_t k = 0; k < digits.size(); ++k) {
      bcd += digits[k];
      if (k % 2 == 1 && k + 1 < digits.size()) bcd += ' ';
      frame += std::string("3") + digits[k];
      if (k + 1 < digits.size()) frame += ' ';
    }
    forms.push_back(bcd);
    forms.push_back(frame);
  }
  return forms;
}

std::string sizeText(std::size_t bytes) { return std::to_string(bytes) + " bytes"; }

// "Log:     /path/VexCard.log: VexCard.log.0 (10 bytes), VexCard.log (20 bytes)".
std::string sourceLine(const char* label, const std::string& path,
                       const std::vector<Generation>& found, const char* missing) {
  std::string line = std::string(label) + path + ": ";
  if (found.empty()) return line + missing + "\n";
  for (std::size_t k = 0; k < found.size(); ++k) {
    if (k > 0) line += ", ";
    line +=
        fs::path(found[k].path).filename().string() + " (" + sizeText(found[k].bytes.size()) + ")";
  }
  return line + "\n";
}

std::string settingsLines() {
  std::string out = std::string("Settings (") + settingsPlace() + "):\n";
  const std::unique_ptr<platform::SettingsStore> store = platform::SettingsStore::open();
  for (const std::string_view name : {link::kPacketCounterValue, link::kShiftNumberValue}) {
    const std::optional<std::int32_t> value = store->readInt(name);
    out.append("  ").append(name).append(" = ");
    out += value ? std::to_string(*value) : "(not set or unreadable)";
    out += "\n";
  }
  return out;
}

// The program's environment variables that choose the driver's places and ports.
std::string environmentLines() {
  std::string out;
  const auto add = [&](const std::string& name) {
    if (const char* v = std::getenv(name.c_str()))
      out.append("  ").append(name).append("=").append(v).append("\n");
  };
  for (const char* name : {"VEXCARD_LOG_DIR", "VEXCARD_SETTINGS_DIR", "XDG_STATE_HOME"}) add(name);
  for (int n = 1; n <= 255; ++n) add(std::string("VEXCARD_COM") + std::to_string(n));
  return out.empty() ? "Environment: none of the driver's variables is set\n"
                     : "Environment:\n" + out;
}

}  // namespace

std::string maskJournalCards(std::string_view journal) {
  // Field by field (tabs and line feeds end them), so that a torn line is masked too.
  std::string out;
  out.reserve(journal.size());
  std::size_t start = 0;
  while (start <= journal.size()) {
    std::size_t end = journal.find_first_of("\t\n", start);
    if (end == std::string_view::npos) end = journal.size();
    const std::string_view field = journal.substr(start, end - start);
    if (field.substr(0, 6) == "block=") {
      // The card block begins with the card number's 10 BCD bytes: hex digits 7 to 16 of
      // the value become F (no BCD digit), as in the log's dumps; the rest stays as it is.
      std::string block(field);
      for (std::size_t k = 6 + kKeptFirst; k < 6 + kCardDigits - kKeptLast && k < block.size();
           ++k) {
        if (isHex(block[k])) block[k] = 'F';
      }
      out += block;
    } else {
      out += logreader::maskCards(field);  // card= and any other run of 13 to 20 digits
    }
    if (end == journal.size()) break;
    out += journal[end];
    start = end + 1;
  }
  return out;
}

std::vector<OptionDef> supportBundleOptions() {
  return {{"force", "", "replace OUT when it exists"},
          {"log-dir", "DIR", "the folder of the log (VexCard.log and its generations)"},
          {"journal", "FILE", "the journal to take, with its generations"}};
}

std::string supportBundleHelp() {
  std::string help =
      "Writes one archive to send to support; nothing in it carries a full card\n"
      "number. Its format follows OUT's name: .zip, .tar.gz or .tgz. Its files, in a\n"
      "folder named after OUT:\n"
      "  info.txt     the versions of the driver and the tools, the platform (system,\n"
      "               version, architecture), the settings store's values\n"
      "               (RiederIndexPacket, SmenaNum), the driver's environment\n"
      "               variables, and which files were taken from where\n"
      "  summary.txt  `vexcard log --summary` of the log's generations\n"
      "  log/         VexCard.log and its generations .0 to .10, card numbers masked\n"
      "               (first 6 and last 4 digits kept, as `vexcard log --mask-cards`)\n"
      "  journal/     VexCard.journal and its generations, card numbers masked\n"
      "The log taken: --log FILE, or VexCard.log in --log-dir DIR, else the driver's:\n  ";
  help.append(logging::DefaultLogPath())
      .append("\nThe journal taken: --journal FILE, else the driver's:\n  ")
      .append(link::journalPath())
      .append("\n");
  if (simulatorJournalPath() != link::journalPath()) {
    help.append("The journal of the simulated terminal's try-outs: --journal\n  ")
        .append(simulatorJournalPath())
        .append("\n");
  }
  return help.append(
      "A missing log or journal is said in info.txt. An existing OUT is refused\n"
      "without --force; on a failure no OUT is left.");
}

int runSupportBundle(const ParsedArgs& a, std::ostream& out) {
  if (a.positional().size() != 1)
    throw UsageError("support-bundle takes OUT (.zip, .tar.gz, .tgz)");
  const std::string outPath = a.positional()[0];
  const std::string ending = endingOf(fs::path(outPath).filename().string());
  if (ending.empty()) {
    throw UsageError("support-bundle: " + outPath + " must end in .zip, .tar.gz or .tgz");
  }
  if (a.get("log") && a.get("log-dir")) throw UsageError("--log and --log-dir exclude each other");
  const std::string driverLines = driverVersionLines(a.get("dll"));  // --dll checked first
  std::error_code ec;
  if (fs::is_directory(outPath, ec)) throw InputError(outPath + " is a folder");
  if (fs::exists(outPath, ec) && !a.has("force")) {
    throw InputError(outPath + " exists; --force replaces it");
  }
  if (const fs::path folder = fs::path(outPath).parent_path();
      !folder.empty() && !fs::is_directory(folder, ec)) {
    throw InputError("no folder " + folder.string() + " for " + outPath);
  }

  const std::string logPath = a.get("log") ? *a.get("log")
                              : a.get("log-dir")
                                  ? *a.get("log-dir") + platform::kPathSeparator + "VexCard.log"
                                  : logging::DefaultLogPath();
  const std::string journalPath = a.get("journal").value_or(link::journalPath());
  std::vector<std::string> unreadable;
  const std::vector<Generation> logs = readGenerations(logPath, kLogGenerations, unreadable);
  const std::vector<Generation> journals =
      readGenerations(journalPath, link::kJournalGenerations, unreadable);

  std::vector<BundleFile> files;
  files.push_back({"info.txt", {}});
  files.push_back({"summary.txt", {}});
  // The generations are masked as one log, oldest first, so that a reply at the head of
  // one is masked as an answer to the request at the end of the one before; the masked
  // text is then cut at the same lines (masking keeps every line and its end).
  std::string wholeLog;
  for (const Generation& g : logs) {
    wholeLog += g.bytes;
    if (!g.bytes.empty() && g.bytes.back() != '\n') wholeLog += '\n';  // a torn end
  }
  const std::string maskedLog = logreader::maskCards(wholeLog);
  std::string().swap(wholeLog);  // a station's log may be 11 generations of 10 MiB
  std::size_t cut = 0;
  for (const Generation& g : logs) {
    const std::size_t lines =
        static_cast<std::size_t>(std::count(g.bytes.begin(), g.bytes.end(), '\n')) +
        (!g.bytes.empty() && g.bytes.back() != '\n' ? 1 : 0);
    std::size_t end = cut;
    for (std::size_t k = 0; k < lines && end < maskedLog.size(); ++k) {
      end = maskedLog.find('\n', end);
      end = end == std::string::npos ? maskedLog.size() : end + 1;
    }
    std::string bytes = maskedLog.substr(cut, end - cut);
    if (!g.bytes.empty() && g.bytes.back() != '\n' && !bytes.empty()) bytes.pop_back();
    files.push_back({std::string("log/") + fs::path(g.path).filename().string(), bytes});
    cut = end;
  }
  for (const Generation& g : journals) {
    files.push_back({std::string("journal/") + fs::path(g.path).filename().string(),
                     maskJournalCards(g.bytes)});
  }
  const std::string summary = summaryText(logreader::summarizeLog(maskedLog, false));
  files[1].bytes = logs.empty()      ? "No log was found (" + logPath + ").\n"
                   : summary.empty() ? "The log holds no exchange.\n"
                                     : summary;

  std::string info = "VexCard support bundle\n";
  info += std::string("Created: ") + link::journalTime() + " (local time)\n";
  info += std::string("Tools: vexcard ") + VEXCARD_VERSION_TEXT + "\n";
  info += driverLines;
  info += platformLines();
  info += settingsLines();
  info += environmentLines();
  const auto missing = [&](const std::string& path, const char* why) {
    for (const std::string& file : unreadable) {
      if (file.rfind(path, 0) == 0) return "no file that can be read";
    }
    return why;
  };
  info +=
      sourceLine("Log: ", logPath, logs,
                 missing(logPath, "no such file (the driver logs only when the folder exists)"));
  info += sourceLine("Journal: ", journalPath, journals,
                     missing(journalPath, "no such file (no money request yet)"));
  for (const std::string& file : unreadable) {
    info.append("Not readable (no rights?): ").append(file).append("\n");
  }
  info +=
      "Card numbers in the log and the journal are masked: the first 6 and the last 4 "
      "digits kept.\n";
  files.front().bytes = info;

  // The safety net under the masking: no card number seen in clear may be left.
  for (const std::string& card : clearCards(logs, journals)) {
    for (const std::string& form : cardForms(card)) {
      for (const BundleFile& f : files) {
        if (f.bytes.find(form) != std::string::npos) {
          throw InputError("a card number (" + card.substr(0, kKeptFirst) +
                           "...) was left unmasked in " + f.name + "; no bundle written");
        }
      }
    }
  }

  std::string top = fs::path(outPath).filename().string();
  top.resize(top.size() - ending.size());
  const fs::path target(outPath);
  const fs::path temporary =
      target.parent_path() / (std::string(".") + target.filename().string() + ".partial-" +
                              std::to_string(processTag()) + ending);
  try {
    writeBundleArchive(temporary.string(), top, files);
    fs::rename(temporary, target, ec);
    if (ec && a.has("force")) {  // Windows renames over no file
      fs::remove(target, ec);
      fs::rename(temporary, target, ec);
    }
    if (ec) throw InputError("cannot write " + outPath + ": " + ec.message());
  } catch (...) {
    fs::remove(temporary, ec);
    throw;
  }

  const std::uintmax_t size = fs::file_size(target, ec);
  if (a.has("json")) {
    std::vector<Report> entries;
    for (const BundleFile& f : files) {
      entries.push_back(Report()
                            .text("name", "", top + "/" + f.name)
                            .integer("bytes", "", static_cast<std::int64_t>(f.bytes.size())));
    }
    std::vector<Report> left;
    for (const std::string& file : unreadable) left.push_back(Report().text("file", "", file));
    out << toJson(Report()
                      .text("command", "", "support-bundle")
                      .flag("ok", "", true)
                      .text("bundle", "", outPath)
                      .integer("bytes", "", static_cast<std::int64_t>(size))
                      .array("files", "", entries)
                      .flag("log_found", "", !logs.empty())
                      .flag("journal_found", "", !journals.empty())
                      .array("unreadable", "", left))
        << "\n";
    return kExitOk;
  }
  out << "Support bundle " << outPath << " (" << sizeText(size) << "):\n";
  for (const BundleFile& f : files) {
    out << "  " << top << "/" << f.name << "  (" << sizeText(f.bytes.size()) << ")\n";
  }
  if (logs.empty()) out << "No log was found at " << logPath << ".\n";
  if (journals.empty()) out << "No journal was found at " << journalPath << ".\n";
  for (const std::string& file : unreadable) {
    out << "Left out, it cannot be read (run as the account that writes it): " << file << "\n";
  }
  out << "Card numbers are masked (first 6 and last 4 digits kept); send it to support.\n";
  return kExitOk;
}

}  // namespace vexcard::cli
