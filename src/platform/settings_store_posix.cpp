// The settings store on POSIX: a folder standing for the registry key, one file per value
// holding its decimal text.
//
// Folder: the one set by setSettingsLocation when there is one; else $VEXCARD_SETTINGS_DIR
// when set and not empty; else
// $XDG_STATE_HOME/vexcard/registry/SOFTWARE/Norvex/ZUR when XDG_STATE_HOME is an absolute
// path; else $HOME/.local/state/vexcard/registry/SOFTWARE/Norvex/ZUR; else (no HOME)
// /var/lib/vexcard/registry/SOFTWARE/Norvex/ZUR. It is created with its parents when
// missing, as the registry key is; the outcome is ignored (a folder that cannot be opened
// gives a store whose reads fail and whose writes throw).
//
// A value is written to a fresh temporary file in the same folder (".<name>.tmp.<pid>.<n>"),
// flushed to disk, renamed over the value's file, and the folder is flushed, so a crash or a
// power loss leaves the old or the new value, never a torn or empty one. A process killed
// between creating and renaming its temporary file leaves that file behind; readers ignore
// it, and opening the store removes the temporaries of processes that no longer run (those
// of live processes, this one among them, may be in the middle of a write). The store is
// thread-safe: the folder descriptor does not change after opening and every writer uses
// its own temporary name.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <limits>
#include <string>
#include <system_error>

#include "platform/codepage.h"
#include "platform/file_events.h"
#include "platform/settings_store.h"
#include "vexcard/exception.h"

namespace vexcard::platform {
namespace {

constexpr const char* kKeyPath = "registry/SOFTWARE/Norvex/ZUR";
constexpr std::size_t kMaxValueText = 64;

const char* fromEnvironment(const char* name) {
#ifdef __GLIBC__
  const char* v = secure_getenv(name);
#else
  const char* v = issetugid() ? nullptr : getenv(name);
#endif
  return v != nullptr && *v != '\0' ? v : nullptr;
}

std::string settingsFolder() {
  if (std::string chosen = settingsLocation(); !chosen.empty()) return chosen;
  if (const char* dir = fromEnvironment("VEXCARD_SETTINGS_DIR")) return dir;
  if (const char* state = fromEnvironment("XDG_STATE_HOME"); state && state[0] == '/') {
    return std::string(state) + "/vexcard/" + kKeyPath;
  }
  if (const char* home = fromEnvironment("HOME")) {
    return std::string(home) + "/.local/state/vexcard/" + kKeyPath;
  }
  return std::string("/var/lib/vexcard/") + kKeyPath;
}

// Creates the folder and its missing parents; failures show when the folder is opened.
void makeFolders(const std::string& path) {
  for (std::size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == '/') {
      ::mkdir(path.substr(0, pos).c_str(), 0777);
    }
  }
}

// A value name is one plain file name; names starting with '.' are kept for temporaries.
bool validName(std::string_view name) {
  return !name.empty() && name.size() <= 200 && name.front() != '.' &&
         name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

// The whole text must be a signed 32-bit decimal ("-" allowed, no "+", no blanks),
// optionally followed by one line feed.
std::optional<std::int32_t> parseValue(std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  if (text.empty()) return std::nullopt;
  std::int32_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

// The writer's process id of a temporary file's name (".<name>.tmp.<pid>.<n>"), or 0 when
// the name is not one of the store's temporaries.
pid_t temporaryOwner(std::string_view file) {
  if (file.size() < 2 || file.front() != '.') return 0;
  const std::size_t tag = file.rfind(".tmp.");
  if (tag == std::string_view::npos || !validName(file.substr(1, tag - 1))) return 0;
  const std::string_view rest = file.substr(tag + 5);
  const std::size_t dot = rest.find('.');
  if (dot == std::string_view::npos) return 0;
  std::int64_t pid = 0;
  std::uint64_t n = 0;
  const char* const end = rest.data() + rest.size();
  const auto a = std::from_chars(rest.data(), rest.data() + dot, pid);
  const auto b = std::from_chars(rest.data() + dot + 1, end, n);
  if (a.ec != std::errc() || a.ptr != rest.data() + dot || b.ec != std::errc() || b.ptr != end ||
      pid <= 0 || pid > std::numeric_limits<pid_t>::max()) {
    return 0;
  }
  return static_cast<pid_t>(pid);
}

// Removes the temporaries that writers killed before their rename left behind.
void removeDeadTemporaries(int dir, const std::string& folder) {
  const int copy = ::dup(dir);
  if (copy < 0) return;
  DIR* listing = ::fdopendir(copy);
  if (listing == nullptr) {
    ::close(copy);
    return;
  }
  while (const dirent* entry = ::readdir(listing)) {
    const pid_t owner = temporaryOwner(entry->d_name);
    if (owner == 0 || owner == ::getpid()) continue;
    if (::kill(owner, 0) != 0 && errno == ESRCH && ::unlinkat(dir, entry->d_name, 0) == 0) {
      if (FileEvents* events = fileEvents()) events->removed(folder + "/" + entry->d_name);
    }
  }
  ::closedir(listing);
}

std::string errorText(int err) { return std::generic_category().message(err); }

class FolderStore final : public SettingsStore {
 public:
  explicit FolderStore(std::string folder) : folder_(std::move(folder)) {
    makeFolders(folder_);
    dir_ = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_ < 0) {
      open_error_ = errno;
    } else {
      removeDeadTemporaries(dir_, folder_);
    }
  }
  ~FolderStore() override {
    if (dir_ >= 0) ::close(dir_);
  }

  std::optional<std::int32_t> readInt(std::string_view name) override {
    if (dir_ < 0 || !validName(name)) return std::nullopt;
    const std::string file(name);
    int fd;
    do {
      // Non-blocking, so that a FIFO in the folder cannot hang the reader.
      fd = ::openat(dir_, file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return std::nullopt;
    }
    char buf[kMaxValueText + 1];
    std::size_t got = 0;
    while (got < sizeof buf) {
      const ssize_t n = ::read(fd, buf + got, sizeof buf - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n < 0) got = sizeof buf;  // a read error counts as unreadable
        break;
      }
      got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (got > kMaxValueText) return std::nullopt;
    return parseValue(std::string_view(buf, got));
  }

  void writeInt(std::string_view name, std::int32_t value) override {
    using namespace vexcard::literals;
    const std::string file(name);
    if (!validName(name)) {
      throw Exception(std::string("Недопустимое имя значения настроек: "_w1251) + file);
    }
    if (dir_ < 0) fail(file, open_error_);
    const std::string text = std::to_string(value);

    std::string temp;
    int fd = -1;
    do {
      temp = "." + file + ".tmp." + std::to_string(::getpid()) + "." +
             std::to_string(counter_.fetch_add(1, std::memory_order_relaxed));
      fd = ::openat(dir_, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (fd < 0 && (errno == EEXIST || errno == EINTR));
    if (fd < 0) fail(file, errno);
    FileEvents* events = fileEvents();
    const std::string tempPath = folder_ + "/" + temp, filePath = folder_ + "/" + file;
    if (events != nullptr) events->created(tempPath);

    int err = 0;
    std::string_view rest = text;
    while (err == 0 && !rest.empty()) {
      const ssize_t n = ::write(fd, rest.data(), rest.size());
      if (n < 0) {
        if (errno != EINTR) err = errno;
      } else {
        rest.remove_prefix(static_cast<std::size_t>(n));
      }
    }
    if (events != nullptr && err == 0) events->appended(tempPath, text);
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (events != nullptr && err == 0) events->synced(tempPath);
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && ::renameat(dir_, temp.c_str(), dir_, file.c_str()) != 0) err = errno;
    if (err != 0) {
      if (::unlinkat(dir_, temp.c_str(), 0) == 0 && events != nullptr) events->removed(tempPath);
      fail(file, err);
    }
    if (events != nullptr) events->renamed(tempPath, filePath);
    // The rename itself becomes durable only when the folder is flushed.
    if (::fsync(dir_) != 0) fail(file, errno);
    if (events != nullptr) events->folderSynced(folder_);
  }

 private:
  [[noreturn]] void fail(const std::string& name, int err) const {
    using namespace vexcard::literals;
    throw Exception(std::string("Не удалось записать значение настроек "_w1251) + name + " (" +
                    folder_ + "): " + errorText(err));
  }

  const std::string folder_;
  int dir_ = -1;        // the open folder; -1 when it could not be opened
  int open_error_ = 0;  // why it could not be opened
  static inline std::atomic<std::uint64_t> counter_{0};
};

}  // namespace

std::string journalFolder() { return settingsFolder(); }

std::unique_ptr<SettingsStore> SettingsStore::open() {
  return std::make_unique<FolderStore>(settingsFolder());
}

}  // namespace vexcard::platform
