// File services on POSIX: plain descriptors, rename without replacing (renameat2 with
// RENAME_NOREPLACE where the kernel has it), the program path from /proc/self/exe, and the
// durable file: created 0600, flushed with fsync of the file and, after creating it, of its
// folder.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/file_events.h"
#include "platform/files.h"

namespace vexcard::platform {
namespace {

// Environment variables that choose paths are ignored in a set-user-ID program.
const char* pathFromEnvironment(const char* name) {
#ifdef __GLIBC__
  const char* v = secure_getenv(name);
#else
  const char* v = issetugid() ? nullptr : getenv(name);
#endif
  return v != nullptr && *v != '\0' ? v : nullptr;
}

std::string withoutClosingSeparators(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

bool fileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::int64_t fileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

bool deleteFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return false;
  if (FileEvents* events = fileEvents()) events->removed(path);
  return true;
}

namespace {

bool renamed(const std::string& from, const std::string& to) {
  if (FileEvents* events = fileEvents()) events->renamed(from, to);
  return true;
}

}  // namespace

bool renameFile(const std::string& from, const std::string& to) {
#if defined(__linux__) && defined(RENAME_NOREPLACE)
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return renamed(from, to);
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
#endif
  // A file system without the flag: check first (a race with another writer of the same
  // folder is accepted here).
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0 || errno != ENOENT) return false;
  return ::rename(from.c_str(), to.c_str()) == 0 && renamed(from, to);
}

bool replaceFile(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 && renamed(from, to);
}

std::string hostExecutablePath() {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(n));
      return buffer;
    }
    if (buffer.size() >= 65536) return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::string defaultLogFolder() {
  if (const char* dir = pathFromEnvironment("VEXCARD_LOG_DIR")) {
    return withoutClosingSeparators(dir);
  }
  if (const char* state = pathFromEnvironment("XDG_STATE_HOME"); state && state[0] == '/') {
    return withoutClosingSeparators(state) + "/vexcard/LogFiles";
  }
  if (const char* home = pathFromEnvironment("HOME")) {
    return withoutClosingSeparators(home) + "/.local/state/vexcard/LogFiles";
  }
  return "/var/log/vexcard";
}

std::string metricsFolderSetting() {
  const char* dir = pathFromEnvironment("VEXCARD_METRICS_DIR");
  return dir != nullptr ? std::string(dir) : std::string();
}

OutputFile::~OutputFile() { close(); }

namespace {

// Opens without blocking (a FIFO without a reader would otherwise hang the caller) and
// keeps the descriptor only for a regular file; -1 otherwise.
int openRegularFile(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool OutputFile::openAppend(const std::string& path) {
  close();
  const int fd = openRegularFile(path, 0);
  if (fd < 0) return false;
  handle_ = fd;
  return true;
}

bool OutputFile::create(const std::string& path) {
  close();
  // Not truncated before it is known to be a regular file: O_TRUNC on anything else is
  // either refused or meaningless, and the check below closes it.
  const int fd = openRegularFile(path, O_CREAT | O_TRUNC);
  if (fd < 0) return false;
  handle_ = fd;
  return true;
}

namespace {

// Writes all of bytes at the end of fd; when it fails part-way and cutBack is set, cut back
// to the size before.
bool appendAll(int fd, std::string_view bytes, bool cutBack) {
  const off_t before = cutBack ? ::lseek(fd, 0, SEEK_END) : -1;
  bool wrote = false;
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (wrote && before >= 0) {
        while (::ftruncate(fd, before) != 0 && errno == EINTR) {
        }
      }
      return false;
    }
    wrote = true;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

bool OutputFile::write(std::string_view bytes) {
  return isOpen() && appendAll(static_cast<int>(handle_), bytes, true);
}

bool OutputFile::close() {
  if (!isOpen()) return true;
  const int fd = static_cast<int>(handle_);
  handle_ = kClosed;
  // The descriptor is released even when close reports an error; it is not retried.
  return ::close(fd) == 0;
}

namespace {

int retryOpen(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

DurableFile::~DurableFile() { close(); }

bool DurableFile::open(const std::string& path) {
  close();
  constexpr int kFlags = O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW;
  // Created only by this call (O_EXCL), so that the folder is flushed exactly when the entry
  // is new; an existing file is opened as it is.
  int fd = retryOpen(path.c_str(), kFlags | O_CREAT | O_EXCL, 0600);
  const bool created = fd >= 0;
  if (fd < 0 && errno == EEXIST) fd = retryOpen(path.c_str(), kFlags, 0);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  handle_ = fd;
  path_ = path;
  folder_ = created ? folderOf(path) : std::string();
  if (FileEvents* events = fileEvents(); events != nullptr && created) events->created(path);
  return true;
}

bool DurableFile::append(std::string_view bytes) {
  if (!isOpen() || !appendAll(static_cast<int>(handle_), bytes, false)) return false;
  if (FileEvents* events = fileEvents()) events->appended(path_, bytes);
  return true;
}

bool DurableFile::sync() {
  if (!isOpen()) return false;
  int rc;
  do {
    rc = ::fsync(static_cast<int>(handle_));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return false;
  FileEvents* events = fileEvents();
  if (events != nullptr) events->synced(path_);
  if (folder_.empty()) return true;
  const int dir = retryOpen(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (dir < 0) return false;
  const bool ok = ::fsync(dir) == 0;
  ::close(dir);
  if (!ok) return false;
  if (events != nullptr) events->folderSynced(folder_);
  folder_.clear();
  return true;
}

std::int64_t DurableFile::size() const {
  struct stat st {};
  if (!isOpen() || ::fstat(static_cast<int>(handle_), &st) != 0) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

bool DurableFile::endsMidLine() const {
  const std::int64_t bytes = size();
  if (bytes <= 0) return false;
  // Read through a descriptor of its own: the file is open for appending only.
  const int fd = retryOpen(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW, 0);
  if (fd < 0) return false;
  char last = '\n';
  ssize_t n;
  do {
    n = ::pread(fd, &last, 1, static_cast<off_t>(bytes - 1));
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  return n == 1 && last != '\n';
}

bool DurableFile::close() {
  folder_.clear();
  if (!isOpen()) return true;
  const int fd = static_cast<int>(handle_);
  handle_ = kClosed;
  return ::close(fd) == 0;
}

bool readWholeFile(const std::string& path, std::string& out) {
  out.clear();
  const int fd = retryOpen(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      out.clear();
      return false;
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return true;
}

bool makeFolders(const std::string& path) {
  for (std::size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == '/') ::mkdir(path.substr(0, pos).c_str(), 0700);
  }
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace vexcard::platform
