// POSIX TCP sockets: non-blocking descriptors, poll() for waits, and a self-pipe per
// socket so that another thread can end a wait.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "platform/socket.h"
#include "platform/sync.h"

namespace vexcard::platform {
namespace {

using Clock = std::chrono::steady_clock;

// A descriptor closed with its owner.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

bool setNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL, 0);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
         ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

// The self-pipe: wake() writes a byte, the waiter drains the pipe. A full pipe already
// holds a wake-up, so a failed write loses nothing.
struct Waker {
  Fd readEnd, writeEnd;
  bool open() {
    int fds[2];
    if (::pipe(fds) != 0) return false;
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    return setNonBlocking(fds[0]) && setNonBlocking(fds[1]);
  }
  void wake() {
    const std::uint8_t b = 1;
    while (::write(writeEnd.get(), &b, 1) < 0 && errno == EINTR) {
    }
  }
  void drain() {
    std::uint8_t buf[64];
    while (::read(readEnd.get(), buf, sizeof buf) > 0) {
    }
  }
};

int remainingMs(std::uint32_t timeout_ms, Clock::time_point deadline) {
  if (timeout_ms == kInfinite) return -1;
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits on fd for events and on the waker. Returns the poll revents of fd (a hang-up or
// error as all of events), plus kWokenFlag when woken; 0 on time-out.
constexpr unsigned kWokenFlag = 0x10000;
unsigned pollWithWaker(int fd, short events, Waker& waker, std::uint32_t timeout_ms) {
  const auto deadline =
      Clock::now() + std::chrono::milliseconds(timeout_ms == kInfinite ? 0 : timeout_ms);
  for (;;) {
    // A descriptor nobody asks about stays out: poll would report its hang-up at once.
    pollfd fds[2] = {{events != 0 ? fd : -1, events, 0}, {waker.readEnd.get(), POLLIN, 0}};
    const int n = ::poll(fds, 2, remainingMs(timeout_ms, deadline));
    if (n < 0) {
      if (errno == EINTR) continue;
      return POLLIN;  // the caller's receive() reports the failure
    }
    unsigned result = 0;
    if (fds[1].revents != 0) {
      waker.drain();
      result |= kWokenFlag;
    }
    unsigned ev = static_cast<unsigned short>(fds[0].revents);
    // A hang-up or error satisfies every request: receive() and send() then report it.
    if (ev & (POLLHUP | POLLERR | POLLNVAL)) ev |= static_cast<unsigned>(events);
    return result | (ev & (POLLIN | POLLOUT));
  }
}

addrinfo* resolve(std::string_view host, std::uint16_t port, bool passive) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = passive ? AI_PASSIVE : 0;
  addrinfo* list = nullptr;
  const std::string name(host);
  const std::string service = std::to_string(port);
  if (::getaddrinfo(name.empty() ? nullptr : name.c_str(), service.c_str(), &hints, &list) != 0) {
    return nullptr;
  }
  return list;
}

}  // namespace

struct TcpSocket::Impl {
  Fd fd;
  Waker waker;
};

struct TcpListener::Impl {
  Fd fd;
  Waker waker;
};

TcpSocket::TcpSocket(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TcpSocket::~TcpSocket() = default;

std::unique_ptr<TcpSocket> TcpSocket::connect(std::string_view host, std::uint16_t port,
                                              std::uint32_t timeout_ms) {
  addrinfo* list = resolve(host, port, false);
  if (list == nullptr) return nullptr;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::unique_ptr<TcpSocket> result;
  for (addrinfo* a = list; a != nullptr && !result; a = a->ai_next) {
    auto impl = std::make_unique<Impl>();
    impl->fd.reset(::socket(a->ai_family, a->ai_socktype, a->ai_protocol));
    if (impl->fd.get() < 0 || !setNonBlocking(impl->fd.get()) || !impl->waker.open()) continue;
    const int fd = impl->fd.get();
    if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) continue;
      pollfd p{fd, POLLOUT, 0};
      int n;
      do {
        n = ::poll(&p, 1, remainingMs(timeout_ms, deadline));
      } while (n < 0 && errno == EINTR);
      int error = 0;
      socklen_t len = sizeof error;
      if (n <= 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
        continue;
      }
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    result = std::make_unique<TcpSocket>(std::move(impl));
  }
  ::freeaddrinfo(list);
  return result;
}

long TcpSocket::send(const std::uint8_t* data, std::size_t count) {
  for (;;) {
    const ssize_t n = ::send(impl_->fd.get(), data, count, MSG_NOSIGNAL);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
  }
}

long TcpSocket::receive(std::uint8_t* data, std::size_t count) {
  if (count == 0) return 0;
  for (;;) {
    const ssize_t n = ::recv(impl_->fd.get(), data, count, 0);
    if (n > 0) return static_cast<long>(n);
    if (n == 0) return -1;  // end of stream
    if (errno == EINTR) continue;
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
  }
}

unsigned TcpSocket::wait(unsigned conditions, std::uint32_t timeout_ms) {
  short events = 0;
  if (conditions & kSocketReadable) events |= POLLIN;
  if (conditions & kSocketWritable) events |= POLLOUT;
  const unsigned r = pollWithWaker(impl_->fd.get(), events, impl_->waker, timeout_ms);
  unsigned result = 0;
  if ((r & POLLIN) && (conditions & kSocketReadable)) result |= kSocketReadable;
  if ((r & POLLOUT) && (conditions & kSocketWritable)) result |= kSocketWritable;
  if (r & kWokenFlag) result |= kSocketWoken;
  return result;
}

void TcpSocket::wake() { impl_->waker.wake(); }

void TcpSocket::shutdown() { ::shutdown(impl_->fd.get(), SHUT_RDWR); }

TcpListener::TcpListener(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TcpListener::~TcpListener() = default;

std::unique_ptr<TcpListener> TcpListener::listen(std::string_view host, std::uint16_t port) {
  addrinfo* list = resolve(host, port, true);
  if (list == nullptr) return nullptr;
  std::unique_ptr<TcpListener> result;
  for (addrinfo* a = list; a != nullptr && !result; a = a->ai_next) {
    auto impl = std::make_unique<Impl>();
    impl->fd.reset(::socket(a->ai_family, a->ai_socktype, a->ai_protocol));
    const int fd = impl->fd.get();
    if (fd < 0 || !setNonBlocking(fd) || !impl->waker.open()) continue;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, 4) != 0) continue;
    result = std::make_unique<TcpListener>(std::move(impl));
  }
  ::freeaddrinfo(list);
  return result;
}

std::uint16_t TcpListener::port() const {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(impl_->fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  if (addr.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in*>(&addr)->sin_port);
  }
  if (addr.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_port);
  }
  return 0;
}

std::unique_ptr<TcpSocket> TcpListener::accept(std::uint32_t timeout_ms) {
  const unsigned r = pollWithWaker(impl_->fd.get(), POLLIN, impl_->waker, timeout_ms);
  if ((r & kWokenFlag) || !(r & POLLIN)) return nullptr;
  auto impl = std::make_unique<TcpSocket::Impl>();
  int fd;
  do {
    fd = ::accept(impl_->fd.get(), nullptr, nullptr);
  } while (fd < 0 && errno == EINTR);
  impl->fd.reset(fd);
  if (fd < 0 || !setNonBlocking(fd) || !impl->waker.open()) return nullptr;
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return std::make_unique<TcpSocket>(std::move(impl));
}

void TcpListener::wake() { impl_->waker.wake(); }

}  // namespace vexcard::platform
