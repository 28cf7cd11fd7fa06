// Progress of the driver's exchanges on standard error, read from the driver's log lines
// as they are written (the logger's line observer):
//
//   tsReadCard: attempt 2 of 5, waiting for the terminal...      (a status line, redrawn)
//   tsReadCard: attempt 1 of 5 failed: no complete reply within the wait   (kept)
//   the terminal does not answer the hand-shake, trying again              (kept)
//
// Meant for a terminal only: the status line is redrawn with a carriage return.
//
// Thread-safe: the driver logs from the host's thread and from its port's event thread;
// one lock guards the state and the stream. At most one Progress exists at a time.
#pragma once

#include <iosfwd>
#include <string_view>

namespace vexcard::cli {

class Progress {
 public:
  // Installs the observer when enabled; otherwise does nothing.
  Progress(std::ostream& err, bool enabled);
  // Removes the observer and clears the status line.
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Clears the status line, so that other output starts on a clean line.
  void clear();

  // One log text (Windows-1251), as the observer passes it. Public for the observer.
  void onLine(std::string_view text);

 private:
  void status(const std::string& text);
  void keep(const std::string& text);

  std::ostream& err_;
  bool enabled_;
};

}  // namespace vexcard::cli
