// The POSIX parts of `vexcard support-bundle`: the archive written with libarchive, the
// system named by uname(2) and /etc/os-release.
#include <archive.h>
#include <archive_entry.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <ctime>
#include <memory>

#include "cli/support_bundle.h"
#include "platform/files.h"
#include "platform/settings_store.h"
#include "vexcard/version.h"

namespace vexcard::cli {
namespace {

bool endsWith(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// The PRETTY_NAME of /etc/os-release (the distribution and its release); empty when none.
std::string distribution() {
  std::string text;
  if (!platform::readWholeFile("/etc/os-release", text)) return {};
  const std::string key = "PRETTY_NAME=";
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (line.rfind(key, 0) == 0) {
      line.erase(0, key.size());
      if (line.size() >= 2 && line.front() == '"' && line.back() == '"') {
        line = line.substr(1, line.size() - 2);
      }
      return line;
    }
    at = end + 1;
  }
  return {};
}

}  // namespace

void writeBundleArchive(const std::string& path, const std::string& top,
                        const std::vector<BundleFile>& files) {
  const std::unique_ptr<archive, decltype(&archive_write_free)> a(archive_write_new(),
                                                                  &archive_write_free);
  if (!a) throw InputError("cannot start an archive (out of memory)");
  const auto fail = [&](const std::string& what) {
    const char* why = archive_error_string(a.get());
    throw InputError("cannot write " + path + ": " + what + (why ? std::string(": ") + why : ""));
  };
  const bool zip = endsWith(path, ".zip");
  if ((zip ? archive_write_set_format_zip(a.get())
           : archive_write_set_format_pax_restricted(a.get())) != ARCHIVE_OK ||
      (!zip && archive_write_add_filter_gzip(a.get()) != ARCHIVE_OK)) {
    fail("the archive format");
  }
  if (archive_write_open_filename(a.get(), path.c_str()) != ARCHIVE_OK) fail("open");
  const std::time_t now = std::time(nullptr);
  const std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(),
                                                                            &archive_entry_free);
  const auto header = [&](const std::string& name, mode_t type, mode_t mode, std::size_t size) {
    archive_entry_clear(entry.get());
    archive_entry_set_pathname(entry.get(), name.c_str());
    archive_entry_set_filetype(entry.get(), type);
    archive_entry_set_perm(entry.get(), mode);
    archive_entry_set_size(entry.get(), static_cast<la_int64_t>(size));
    archive_entry_set_mtime(entry.get(), now, 0);
    if (archive_write_header(a.get(), entry.get()) != ARCHIVE_OK) fail(name);
  };
  std::string folders = "/";  // the folders written, each between slashes
  for (const BundleFile& f : files) {
    const std::string name = top + "/" + f.name;
    for (std::size_t slash = name.find('/'); slash != std::string::npos;
         slash = name.find('/', slash + 1)) {
      const std::string folder = name.substr(0, slash + 1);
      if (folders.find("/" + folder) != std::string::npos) continue;
      header(folder, AE_IFDIR, 0755, 0);
      folders += folder;
    }
    header(name, AE_IFREG, 0644, f.bytes.size());
    if (!f.bytes.empty() && archive_write_data(a.get(), f.bytes.data(), f.bytes.size()) !=
                                static_cast<la_ssize_t>(f.bytes.size())) {
      fail(name);
    }
  }
  if (archive_write_close(a.get()) != ARCHIVE_OK) fail("close");
}

std::string platformLines() {
  std::string out;
  struct utsname u {};
  if (::uname(&u) == 0) {
    out.append("System: ").append(u.sysname).append(" ").append(u.release).append(" ");
    out.append(u.version).append("\n");
    out.append("Architecture: ").append(u.machine).append("\n");
  } else {
    out += "System: unknown (uname failed)\n";
  }
  if (const std::string d = distribution(); !d.empty()) out += "Distribution: " + d + "\n";
  out += std::string("Program: vexcard, ") + std::to_string(sizeof(void*) * 8) + "-bit\n";
  return out;
}

std::string driverVersionLines(const std::optional<std::string>& dll) {
  if (dll) throw UsageError("--dll applies on Windows only: this program has its driver");
  return std::string("Driver: VexCard ") + VEXCARD_VERSION_TEXT + " (built into this program)\n";
}

std::string settingsPlace() { return std::string("folder ") + platform::journalFolder(); }

unsigned long processTag() { return static_cast<unsigned long>(::getpid()); }

}  // namespace vexcard::cli
