// File services of the log writer and the journal: existence and size, delete, rename, a
// file written at its end, a file appended to and flushed to disk, reading a whole file,
// the host executable's path and the folder of the driver's log.
//
// Paths are narrow strings in the platform's own form (on Windows the ANSI code page).
// None of these functions throws; failures come back as results. Each call is thread-safe
// by itself; an OutputFile object is used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vexcard::platform {

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
// Characters after which a file name begins (folder and drive delimiters).
inline constexpr std::string_view kPathDelimiters = "\\/:";
#else
inline constexpr char kPathSeparator = '/';
inline constexpr std::string_view kPathDelimiters = "/";
#endif

// True when path names an existing entry that is not a folder.
bool fileExists(const std::string& path);
// The size in bytes of an existing file; -1 when there is none or it cannot be examined.
std::int64_t fileSize(const std::string& path);
// Deletes a file. False when it could not be deleted (also when it does not exist).
bool deleteFile(const std::string& path);
// Renames from to to. Fails, leaving both alone, when to already exists.
bool renameFile(const std::string& from, const std::string& to);
// Renames from to to, replacing to in one step when it exists (rename on POSIX, MoveFileEx
// with MOVEFILE_REPLACE_EXISTING on Windows): a reader of to sees the old file or the new.
bool replaceFile(const std::string& from, const std::string& to);

// Archives path when it has grown beyond limit bytes: renames it to rotationStage(path)
// first (when that fails, as while another process holds it open on Windows, nothing else
// happens and the caller appends to the file as it is), then deletes path + "." +
// (generations-1), renames path + ".n" to path + ".n+1" from the oldest down, and the stage
// to path + ".0". A stage already there (a rotation cut short) is finished first; a stage
// that cannot yet become .0 stays for the next call. No rename replaces a file, so no
// generation is lost to a failure. The log and the journal rotate so.
void rotateBySize(const std::string& path, std::int64_t limit, int generations);
// The name a rotating file has between its rename and its becoming generation .0 (readers
// of every generation read it between .0 and the active file).
std::string rotationStage(const std::string& path);

// The full path of the running program (the host executable, also when this code runs in
// a library loaded by it); empty when it cannot be found.
std::string hostExecutablePath();

// The folder of the driver's log file, without a closing separator. It is never created
// by the driver: when it does not exist nothing is logged.
//   Windows: C:\DOVA\LogFiles
//   POSIX:   $VEXCARD_LOG_DIR when set and not empty; else $XDG_STATE_HOME/vexcard/LogFiles
//            when XDG_STATE_HOME is an absolute path; else $HOME/.local/state/vexcard/LogFiles;
//            else (no HOME) /var/log/vexcard.
std::string defaultLogFolder();

// The folder of the driver's metrics files, as the variable VEXCARD_METRICS_DIR names it in
// the process's environment (on Windows as GetEnvironmentVariable reads it, so a host may
// set it with SetEnvironmentVariable before it builds the driver); empty when it is not set.
std::string metricsFolderSetting();

// A file written at its end; closed by close() or the destructor.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Opens an existing regular file for appending, without blocking. False when it does
  // not exist, cannot be opened or is anything but a regular file (a FIFO, a device).
  bool openAppend(const std::string& path);
  // Creates the file empty (replacing any regular file of that name) and opens it for
  // writing, without blocking; false for anything but a regular file.
  bool create(const std::string& path);
  // Writes all of bytes at the end of the file. False when not open or on a failure; a
  // write that fails part-way is cut back to the size the file had before it.
  bool write(std::string_view bytes);
  // Closes the file; false when the close reported an error. Does nothing when closed.
  bool close();
  bool isOpen() const { return handle_ != kClosed; }

 private:
  static constexpr std::intptr_t kClosed = -1;
  std::intptr_t handle_ = kClosed;  // a descriptor on POSIX, a HANDLE on Windows
};

// A file that records are appended to and flushed to the disk (the driver's journal).
// Opened without blocking; only a regular file is used (a FIFO or a device at the path
// fails the open). Created readable and writable by the owner alone (mode 0600 on POSIX;
// on Windows a protected ACL giving the owner and SYSTEM full control). A file that open()
// created reaches the disk with its folder entry at the next sync(), so a power cut after
// a sync never loses the file. Used by one thread at a time.
class DurableFile {
 public:
  DurableFile() = default;
  ~DurableFile();
  DurableFile(const DurableFile&) = delete;
  DurableFile& operator=(const DurableFile&) = delete;

  // Opens path for appending, creating it when missing. False when it cannot be opened or
  // created or is anything but a regular file.
  bool open(const std::string& path);
  // Writes all of bytes at the end, as one append (O_APPEND; FILE_APPEND_DATA on Windows),
  // so that writers of the same file in other processes never overwrite each other. False
  // when not open or on a failure. A write that fails part-way (a full disk) is not cut
  // back: the cut could take another writer's record written meanwhile; the piece left is a
  // torn line, which the journal's reader skips and its writer ends before its next record.
  bool append(std::string_view bytes);
  // Flushes the file's data (and, after creating it, its folder entry) to the disk: fsync
  // of the file and the folder on POSIX, FlushFileBuffers on Windows. False on a failure.
  bool sync();
  // The file's size in bytes; -1 when closed or unknown.
  std::int64_t size() const;
  // True when the file's last byte is there and is not a line feed: its last line was cut
  // short (a power cut, a writer killed part-way). False when it is empty or unreadable.
  bool endsMidLine() const;
  bool close();
  bool isOpen() const { return handle_ != kClosed; }

 private:
  static constexpr std::intptr_t kClosed = -1;
  std::intptr_t handle_ = kClosed;
  std::string path_;
  std::string folder_;  // the folder to flush after creating the file; empty otherwise
};

// Reads a whole regular file into out, without blocking. False when it does not exist, is
// not a regular file or cannot be read (out is then empty).
bool readWholeFile(const std::string& path, std::string& out);

// Creates a folder with its missing parents; true when it exists afterwards. New folders are
// private to the owner on POSIX (mode 0700).
bool makeFolders(const std::string& path);

}  // namespace vexcard::platform
