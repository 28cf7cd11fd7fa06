#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <stdexcept>

extern char** environ;

namespace vexcard::test {

namespace {

// Bound for the reads of a running child: far beyond what the tools need.
constexpr int kReadBoundMs = 60000;

std::vector<std::string> environment(const EnvVars& extra) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const auto eq = entry.find('=');
    if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [k, v] : extra) vars[k] = v;
  std::vector<std::string> out;
  for (const auto& [k, v] : vars) out.push_back(k + "=" + v);
  return out;
}

pid_t spawn(const std::string& path, const std::vector<std::string>& args, const EnvVars& env,
            int& outFd, int& errFd) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  // Everything the child needs is built before fork: after it only exec-safe calls run.
  std::vector<std::string> envStrings = environment(env);
  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int devNull = ::open("/dev/null", O_RDONLY);
    ::dup2(devNull, 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::execve(path.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  outFd = out[0];
  errFd = err[0];
  return pid;
}

// Reads what is there from the open descriptors into the strings; false at the end of both
// or when nothing came within timeoutMs.
bool pump(int& outFd, int& errFd, std::string& out, std::string& err, int timeoutMs) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  if (outFd < 0 && errFd < 0) return false;
  const int n = ::poll(fds, 2, timeoutMs);
  if (n <= 0) return false;
  char buf[4096];
  int* fdsRef[2] = {&outFd, &errFd};
  std::string* sinks[2] = {&out, &err};
  for (int i = 0; i < 2; ++i) {
    if (*fdsRef[i] < 0 || fds[i].revents == 0) continue;
    const ssize_t r = ::read(*fdsRef[i], buf, sizeof buf);
    if (r > 0) {
      sinks[i]->append(buf, static_cast<std::size_t>(r));
    } else {
      ::close(*fdsRef[i]);
      *fdsRef[i] = -1;
    }
  }
  return true;
}

int waitExit(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

ProcessResult runProcess(const std::string& path, const std::vector<std::string>& args,
                         const EnvVars& env) {
  int outFd = -1, errFd = -1;
  const pid_t pid = spawn(path, args, env, outFd, errFd);
  ProcessResult r;
  while (outFd >= 0 || errFd >= 0) {
    if (!pump(outFd, errFd, r.out, r.err, kReadBoundMs * 5)) break;
  }
  if (outFd >= 0) ::close(outFd);
  if (errFd >= 0) ::close(errFd);
  r.exitCode = waitExit(pid);
  return r;
}

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& args,
                           const EnvVars& env) {
  pid_ = spawn(path, args, env, outFd_, errFd_);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    waitExit(pid_);
  }
  if (outFd_ >= 0) ::close(outFd_);
  if (errFd_ >= 0) ::close(errFd_);
}

std::string ChildProcess::waitForErrLine(const std::string& needle) {
  while (true) {
    std::size_t start = 0;
    for (std::size_t end; (end = err_.find('\n', start)) != std::string::npos; start = end + 1) {
      const std::string line = err_.substr(start, end - start);
      if (line.find(needle) != std::string::npos) return line;
    }
    if (!pump(outFd_, errFd_, out_, err_, kReadBoundMs)) return {};
  }
}

ProcessResult ChildProcess::stop(int sig) {
  ::kill(pid_, sig);
  ProcessResult r;
  while (outFd_ >= 0 || errFd_ >= 0) {
    if (!pump(outFd_, errFd_, out_, err_, kReadBoundMs)) break;
  }
  r.exitCode = waitExit(pid_);
  pid_ = -1;
  r.out = out_;
  r.err = err_;
  return r;
}

}  // namespace vexcard::test
