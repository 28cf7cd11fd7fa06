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

std::string rotationStage(const std::string& path) { return path + ".rotating"; }

void rotateBySize(const std::string& path, std::int64_t limit, int generations) {
  if (path.empty() || generations < 1) return;
  const auto generation = [&](int n) { return path + "." + std::to_string(n); };
  const std::string stage = rotationStage(path);
  // The active file is moved aside first: while another handle holds it in a way that
  // forbids the rename (Windows), nothing else is touched and no generation is lost. A
  // stage left by a rotation cut short (a crash, a generation that could not move) is
  // finished before the active file is looked at.
  if (!fileExists(stage)) {
    if (!fileExists(path) || fileSize(path) <= limit || !renameFile(path, stage)) return;
  }
  const std::string oldest = generation(generations - 1);
  if (fileExists(oldest)) deleteFile(oldest);
  for (int n = generations - 2; n >= 0; --n) {
    const std::string from = generation(n);
    if (fileExists(from)) renameFile(from, generation(n + 1));
  }
  // Fails, keeping the stage for the next try, while .0 could not move on.
  renameFile(stage, generation(0));
}

}  // namespace vexcard::platform
