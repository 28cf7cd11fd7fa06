// Runs a built program as a child process for the tests of the command-line tools: its
// arguments, extra environment variables, and its standard output and error captured.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace vexcard::test {

using EnvVars = std::vector<std::pair<std::string, std::string>>;

struct ProcessResult {
  int exitCode = -1;  // the exit status; 128 + signal number when killed
  std::string out;
  std::string err;
};

// Runs path with args and env added to (or replacing in) the test's own environment, stdin
// empty, and waits for it to end.
ProcessResult runProcess(const std::string& path, const std::vector<std::string>& args,
                         const EnvVars& env = {});

// A program left running while the test talks to it.
class ChildProcess {
 public:
  ChildProcess(const std::string& path, const std::vector<std::string>& args,
               const EnvVars& env = {});
  ~ChildProcess();  // kills it if still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Reads standard error up to the first line holding `needle` (a generous bound, not a
  // timing assertion); that line, or empty when the program ended or the bound passed.
  std::string waitForErrLine(const std::string& needle);
  // Sends signal sig and waits for the end; the rest of both outputs is collected.
  ProcessResult stop(int sig);

 private:
  pid_t pid_ = -1;
  int outFd_ = -1, errFd_ = -1;
  std::string out_, err_;
};

}  // namespace vexcard::test
