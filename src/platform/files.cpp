// File services shared by every platform: rotation by size over the platform's own calls.
#include "platform/files.h"

#include <atomic>
#include <string>

#include "platform/file_events.h"

namespace vexcard::platform {

namespace {
std::atomic<FileEvents*> gFileEvents{nullptr};
}  // namespace

void setFileEvents(FileEvents* events) { gFileEvents.store(events, std::memory_order_release); }
FileEvents* fileEvents() { return gFileEvents.load(std::memory_order_acquire); }

void rotateBySize(const std::string& path, std::int64_t limit, int generations) {
  if (path.empty() || generations < 1 || !fileExists(path) || fileSize(path) <= limit) return;
  const auto generation = [&](int n) { return path + "." + std::to_string(n); };
  const std::string oldest = generation(generations - 1);
  if (fileExists(oldest)) deleteFile(oldest);
  for (int n = generations - 2; n >= 0; --n) {
    const std::string from = generation(n);
    if (fileExists(from)) renameFile(from, generation(n + 1));
  }
  renameFile(path, generation(0));
}

}  // namespace vexcard::platform
