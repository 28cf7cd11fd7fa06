// File services on Windows: ANSI-code-page paths through the -A functions, rename without
// replacing (MoveFileEx without MOVEFILE_REPLACE_EXISTING), the program path from
// GetModuleFileName of the process's executable, and the log folder C:\DOVA\LogFiles. The
// durable file is created with a protected ACL (its owner and SYSTEM only) and flushed with
// FlushFileBuffers, which on NTFS also commits the file's own folder entry.
//
// Files are opened sharing reading and writing, so a log viewer that holds the file open
// does not stop the logging.
#include <windows.h>
// After windows.h.
#include <sddl.h>

#include <string>

#include "platform/files.h"

namespace vexcard::platform {
namespace {

HANDLE asHandle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

bool fileExists(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::int64_t fileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return -1;
  }
  return static_cast<std::int64_t>((std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow);
}

bool deleteFile(const std::string& path) { return ::DeleteFileA(path.c_str()) != FALSE; }

bool renameFile(const std::string& from, const std::string& to) {
  return ::MoveFileExA(from.c_str(), to.c_str(), 0) != FALSE;
}

bool replaceFile(const std::string& from, const std::string& to) {
  return ::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

std::string hostExecutablePath() {
  std::string buffer(MAX_PATH, '\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) {  // n == size means the path was cut short
      buffer.resize(n);
      return buffer;
    }
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::string defaultLogFolder() { return "C:\\DOVA\\LogFiles"; }

std::string metricsFolderSetting() {
  char value[MAX_PATH];
  const DWORD n = ::GetEnvironmentVariableA("VEXCARD_METRICS_DIR", value, sizeof value);
  return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

OutputFile::~OutputFile() { close(); }

namespace {

// h when it is a disk file; otherwise it is closed (a pipe, a device) and
// INVALID_HANDLE_VALUE comes back, as for a file that could not be opened.
HANDLE diskFileOnly(HANDLE h) {
  if (h == INVALID_HANDLE_VALUE || ::GetFileType(h) == FILE_TYPE_DISK) return h;
  ::CloseHandle(h);
  return INVALID_HANDLE_VALUE;
}

// Opens for writing (truncating a failed write needs write access, not append access
// alone) and keeps the handle only for a disk file; INVALID_HANDLE_VALUE otherwise.
HANDLE openDiskFile(const std::string& path, DWORD disposition) {
  return diskFileOnly(::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

bool OutputFile::openAppend(const std::string& path) {
  close();
  const HANDLE h = openDiskFile(path, OPEN_EXISTING);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<std::intptr_t>(h);
  return true;
}

bool OutputFile::create(const std::string& path) {
  close();
  const HANDLE h = openDiskFile(path, CREATE_ALWAYS);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<std::intptr_t>(h);
  return true;
}

namespace {

// Writes all of bytes at the end of the file; cut back to the size before when the write
// fails part-way, so that no torn piece is left.
bool appendAll(HANDLE h, std::string_view bytes, bool cutBack) {
  LARGE_INTEGER before{};
  if (cutBack && !::SetFilePointerEx(h, LARGE_INTEGER{}, &before, FILE_END)) return false;
  bool wrote = false;
  while (!bytes.empty()) {
    const DWORD chunk = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
    DWORD done = 0;
    if (!::WriteFile(h, bytes.data(), chunk, &done, nullptr) || done == 0) {
      if (cutBack && wrote && ::SetFilePointerEx(h, before, nullptr, FILE_BEGIN)) {
        ::SetEndOfFile(h);
      }
      return false;
    }
    wrote = true;
    bytes.remove_prefix(done);
  }
  return true;
}

}  // namespace

bool OutputFile::write(std::string_view bytes) {
  return isOpen() && appendAll(asHandle(handle_), bytes, true);
}

bool OutputFile::close() {
  if (!isOpen()) return true;
  const HANDLE h = asHandle(handle_);
  handle_ = kClosed;
  return ::CloseHandle(h) != FALSE;
}

namespace {

// The owner and SYSTEM, full control; no inherited entries.
constexpr const char* kPrivateAcl = "D:P(A;;FA;;;OW)(A;;FA;;;SY)";

HANDLE openDurable(const std::string& path, bool& created) {
  SECURITY_ATTRIBUTES sa{};
  sa.nLength = sizeof sa;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (::ConvertStringSecurityDescriptorToSecurityDescriptorA(kPrivateAcl, SDDL_REVISION_1, &sd,
                                                             nullptr)) {
    sa.lpSecurityDescriptor = sd;
  }
  // Append access alone: every write goes to the end as one, whoever else writes (with
  // GENERIC_WRITE a write lands at the handle's own position). FlushFileBuffers needs write
  // or append access. FILE_SHARE_DELETE lets another writer rotate the file while this
  // handle holds it.
  const HANDLE h = ::CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  created = h != INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_ALREADY_EXISTS;
  if (sd != nullptr) ::LocalFree(sd);
  return diskFileOnly(h);
}

}  // namespace

DurableFile::~DurableFile() { close(); }

bool DurableFile::open(const std::string& path) {
  close();
  bool created = false;
  const HANDLE h = openDurable(path, created);
  (void)created;  // FlushFileBuffers commits a new file's entry with its data
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<std::intptr_t>(h);
  path_ = path;
  return true;
}

bool DurableFile::append(std::string_view bytes) {
  return isOpen() && appendAll(asHandle(handle_), bytes, false);
}

bool DurableFile::sync() { return isOpen() && ::FlushFileBuffers(asHandle(handle_)) != FALSE; }

std::int64_t DurableFile::size() const {
  LARGE_INTEGER size{};
  if (!isOpen() || !::GetFileSizeEx(asHandle(handle_), &size)) return -1;
  return static_cast<std::int64_t>(size.QuadPart);
}

bool DurableFile::endsMidLine() const {
  const std::int64_t bytes = size();
  if (bytes <= 0) return false;
  // Read through a handle of its own: the file is open for appending only.
  const HANDLE h = ::CreateFileA(path_.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER at{};
  at.QuadPart = bytes - 1;
  char last = '\n';
  DWORD got = 0;
  const bool read = ::SetFilePointerEx(h, at, nullptr, FILE_BEGIN) &&
                    ::ReadFile(h, &last, 1, &got, nullptr) && got == 1;
  ::CloseHandle(h);
  return read && last != '\n';
}

bool DurableFile::close() {
  folder_.clear();
  if (!isOpen()) return true;
  const HANDLE h = asHandle(handle_);
  handle_ = kClosed;
  return ::CloseHandle(h) != FALSE;
}

bool readWholeFile(const std::string& path, std::string& out) {
  out.clear();
  const HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  if (::GetFileType(h) != FILE_TYPE_DISK) {
    ::CloseHandle(h);
    return false;
  }
  char buf[65536];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(h, buf, sizeof buf, &got, nullptr)) {
      ::CloseHandle(h);
      out.clear();
      return false;
    }
    if (got == 0) break;
    out.append(buf, got);
  }
  ::CloseHandle(h);
  return true;
}

bool makeFolders(const std::string& path) {
  for (std::size_t pos = 3; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == '\\' || path[pos] == '/') {
      ::CreateDirectoryA(path.substr(0, pos).c_str(), nullptr);
    }
  }
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace vexcard::platform
