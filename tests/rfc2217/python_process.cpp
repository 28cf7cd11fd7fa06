#include "rfc2217/python_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "rfc2217/test_util.h"

extern char** environ;

namespace vexcard::rfc2217_test {
namespace {

constexpr const char* kPython = "/usr/bin/python3";

// The scripts sit beside this file; the build names the folder (a compiler wrapper may make
// __FILE__ relative to the build tree).
std::string scriptDir() { return VEXCARD_TEST_SOURCE_DIR; }

// Spawns argv with stdout on outFd (or /dev/null when outFd < 0). Returns the pid or -1.
pid_t spawn(std::vector<std::string> args, int outFd, bool quiet) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (outFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  if (quiet) posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

bool PythonProcess::hasPyserial() {
  const pid_t pid = spawn({kPython, "-c", "import serial.rfc2217"}, -1, true);
  return pid > 0 && reap(pid) == 0;
}

PythonProcess::PythonProcess(const std::string& script, const std::vector<std::string>& args) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  std::vector<std::string> argv = {kPython, "-u", scriptDir() + script};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_ = spawn(argv, fds[1], false);
  ::close(fds[1]);
  out_ = fds[0];
}

PythonProcess::~PythonProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    reap(pid_);
  }
  if (out_ >= 0) ::close(out_);
}

bool PythonProcess::readLine(std::string& line) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  for (;;) {
    const std::size_t nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      transcript_ += line + "\n";
      return true;
    }
    if (out_ < 0) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    pollfd p{out_, POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    char chunk[512];
    const ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n <= 0) {
      ::close(out_);
      out_ = -1;
      if (buffer_.empty()) return false;
      buffer_ += '\n';  // a last line without its newline
      continue;
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

bool PythonProcess::expectLine(const std::string& want) {
  std::string line;
  while (readLine(line)) {
    if (line == want) return true;
  }
  return false;
}

int PythonProcess::finish() {
  std::string line;
  while (readLine(line)) {
  }
  if (pid_ <= 0) return -1;
  if (out_ >= 0) ::kill(pid_, SIGKILL);  // still silent after kPatience
  const int status = reap(pid_);
  pid_ = -1;
  return status;
}

}  // namespace vexcard::rfc2217_test
