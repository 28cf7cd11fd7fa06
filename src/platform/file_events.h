// What the durable writes do to the disk, step by step, for a test that models what a power
// cut leaves: the journal's file (DurableFile, and the renames and deletions of its rotation)
// and the settings store's values report each new folder entry, each write, each flush of a
// file's data or of a folder, each rename and each deletion, after it succeeded. Nothing
// reports while no observer is set (the driver never sets one).
#pragma once

#include <string>
#include <string_view>

namespace vexcard::platform {

class FileEvents {
 public:
  virtual ~FileEvents() = default;
  virtual void created(const std::string& path) = 0;
  virtual void appended(const std::string& path, std::string_view bytes) = 0;
  virtual void synced(const std::string& path) = 0;           // the file's data
  virtual void folderSynced(const std::string& folder) = 0;   // the folder's entries
  virtual void renamed(const std::string& from, const std::string& to) = 0;
  virtual void removed(const std::string& path) = 0;
};

// Sets the observer (nullptr: none). The observer is called from whichever thread writes and
// must outlive its use. Thread-safe.
void setFileEvents(FileEvents* events);
// The observer set, or nullptr.
FileEvents* fileEvents();

}  // namespace vexcard::platform
