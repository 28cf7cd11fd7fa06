// The simulator's RFC 2217 server against a client that sends anything: one server of this
// program, on a line end that takes every setting, change of RTS or DTR, purge and byte,
// serves one connection per input. The client sends the input and closes; the server must
// answer what it understands, end the session when the stream ends, and serve the next.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "comport/serial_device.h"
#include "fuzz_check.h"
#include "terminal-sim/rfc2217_server.h"

namespace {

using namespace vexcard;
using namespace vexcard::comport;

// A line end with nothing on it: it takes settings of any shape the server passes on and
// every byte, and has no events until its mask changes.
class QuietEnd final : public SerialDevice {
 public:
  bool setupQueues(std::uint32_t, std::uint32_t) override { return true; }
  bool getSettings(LineSettings& out) override {
    std::lock_guard<std::mutex> g(mu_);
    out = settings_;
    return true;
  }
  bool setSettings(const LineSettings& s) override {
    std::lock_guard<std::mutex> g(mu_);
    settings_ = s;
    return true;
  }
  bool setTimeouts(const CommTimeouts&) override { return true; }
  std::uint32_t clearError(CommStatusRecord& status) override {
    status = {};
    return 0;
  }
  bool purge(std::uint32_t) override { return true; }
  bool setRts(bool) override { return true; }
  bool setDtr(bool) override { return true; }
  bool getModemStatus(std::uint32_t& status) override {
    status = kMsCtsOn;
    return true;
  }
  bool setEventMask(std::uint32_t) override {
    std::lock_guard<std::mutex> g(mu_);
    ++changes_;
    cv_.notify_all();
    return true;
  }
  EventWaitResult waitEvent(std::uint32_t& mask) override {
    std::unique_lock<std::mutex> lk(mu_);
    const std::uint64_t changes = changes_;
    cv_.wait(lk, [&] { return changes_ != changes; });
    mask = 0;
    return EventWaitResult::kCompletedAfterPending;
  }
  std::uint32_t read(std::uint8_t*, std::uint32_t) override { return 0; }
  bool write(const std::uint8_t*, std::uint32_t count, std::uint32_t& written) override {
    written = count;
    return true;
  }
  void cancelWrite() override {}

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  LineSettings settings_;
  std::uint64_t changes_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Both live as long as the process: the server's threads wait on the end until exit.
  static sim::Rfc2217Server* server = [] {
    auto* s = new sim::Rfc2217Server(*new QuietEnd);
    fuzzcheck::check(s->start("127.0.0.1", 0));
    return s;
  }();
  // A plain socket: its half close tells the server where the input ends, and the server
  // has carried out all of it once it has closed the connection in turn.
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  fuzzcheck::check(fd >= 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(server->port());
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // Tens of thousands of connections a minute: a local port still held by an earlier one
  // is refused for a moment (EADDRNOTAVAIL); that is this harness's limit, not the server's.
  int connected = -1;
  for (int tries = 0; tries < 100 && connected != 0; ++tries) {
    connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    if (connected != 0 && errno != EADDRNOTAVAIL && errno != EAGAIN && errno != EINTR) break;
    if (connected != 0) ::usleep(1000);
  }
  fuzzcheck::check(connected == 0);
  std::uint8_t buf[4096];
  std::size_t sent = 0;
  bool closed = false;
  if (size == 0) ::shutdown(fd, SHUT_WR);
  while (!closed) {
    pollfd p{fd, static_cast<short>(POLLIN | (sent < size ? POLLOUT : 0)), 0};
    const int ready = ::poll(&p, 1, 10000);
    if (ready < 0 && errno == EINTR) continue;  // libFuzzer's time-out alarm
    fuzzcheck::check(ready > 0);                // a server that stops answering hangs
    if (p.revents & POLLOUT) {
      const ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<std::size_t>(n);
      if (n < 0 && errno != EAGAIN && errno != EINTR) break;
      if (sent == size) ::shutdown(fd, SHUT_WR);
    }
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      closed = n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
    }
  }
  // Both ends have finished: a reset instead of the usual close keeps this side's port
  // out of TIME_WAIT, so the local ports are not used up.
  const linger reset{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  ::close(fd);
  return 0;
}
