// `vexcard support-bundle OUT`: one archive to send to support, with the driver's log and
// its generations, the journal of money requests and its generations (card numbers masked
// in both), the settings store's values, the versions of the driver and the tools, the
// platform, and the summary of the log (`vexcard log --summary`).
//
// The archive's format follows OUT's name: .zip, .tar.gz or .tgz. Every file lies in one
// folder named after OUT (bundle.tar.gz holds bundle/...). The archive is written to a
// temporary file beside OUT and renamed to OUT only when it is complete, so a failure
// leaves no partial OUT; an existing OUT is replaced only with --force.
//
// Before anything is written, every card number the journal and the log show in clear is
// looked for in the masked files (as digits, as a BCD dump and as the characters of a
// request frame): a match stops the command with no archive written.
//
// The archive writer is the platform's: libarchive on POSIX; on Windows the files are
// staged in a temporary folder and packed by Windows' own tar.exe (System32, Windows 10
// 1803 and later).
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/args.h"

namespace vexcard::cli {

std::vector<OptionDef> supportBundleOptions();
std::string supportBundleHelp();  // the command's description: what goes in

// Returns the exit code (app.h).
int runSupportBundle(const ParsedArgs& args, std::ostream& out);

// A journal's text with every card number masked as the log's are (logreader/card_mask.h):
// the card= fields' digits as "*" and the card number at the head of a block= field's card
// block as the hex digit F, the first 6 and the last 4 digits kept; also in torn lines.
std::string maskJournalCards(std::string_view journal);

// One file of the bundle: its name inside the bundle's folder ("log/VexCard.log") and bytes.
struct BundleFile {
  std::string name;
  std::string bytes;
};

// The platform's parts (support_bundle_posix.cpp, support_bundle_win32.cpp).
// Writes files into a new archive at path, all below the folder top; the format by path's
// ending (.zip, .tar.gz, .tgz). Throws InputError saying what failed; path may then be left
// partly written (the caller removes it).
void writeBundleArchive(const std::string& path, const std::string& top,
                        const std::vector<BundleFile>& files);
// The operating system, its version and the machine's architecture, one "Name: value" line
// each.
std::string platformLines();
// The driver's version and where it comes from, one "Name: value" line each; dll: the
// library --dll names (Windows), else the one beside the program.
std::string driverVersionLines(const std::optional<std::string>& dll);
// Where the settings store keeps its values: the registry key or the folder.
std::string settingsPlace();
// A number that differs between processes running at the same time (the process id).
unsigned long processTag();

}  // namespace vexcard::cli
