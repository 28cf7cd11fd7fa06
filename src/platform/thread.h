// Threads.
//
// A Thread runs one body once. It is joined explicitly (or by the destructor); there is
// no forced termination: every thread of the system is stopped by asking it and waiting.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace vexcard::platform {

class Thread {
 public:
  Thread();
  ~Thread();  // joins a thread that is still joinable
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts body on a new thread. high_priority asks for the platform's highest thread
  // priority where the process may set it (ignored where it may not). Throws
  // vexcard::Exception when the thread cannot be created.
  void start(std::function<void()> body, bool high_priority = false);
  // Waits for the body to return. Does nothing when not started or already joined.
  void join();
  bool joinable() const;
  // True when called from this thread's body.
  bool isCurrent() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace vexcard::platform
