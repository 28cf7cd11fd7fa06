// Winsock TCP sockets: WSAEventSelect ties a socket's network events to one event object,
// a second (auto-reset) event carries wake-ups, and a wait takes the first of the two.
//
// Winsock records FD_WRITE and FD_CLOSE once; the socket latches them (writable,
// closed) so that a wait that did not ask for them when they came still sees them later.
// FD_READ is latched the same way until the next receive().

// winsock2.h must come before windows.h.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <atomic>
#include <chrono>
#include <string>

#include "platform/socket.h"
#include "platform/sync.h"

namespace vexcard::platform {
namespace {

using Clock = std::chrono::steady_clock;

// Winsock is started once per process and left running until the process ends.
bool startWinsock() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

DWORD remainingMs(std::uint32_t timeout_ms, Clock::time_point deadline) {
  if (timeout_ms == kInfinite) return WSA_INFINITE;
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<DWORD>(left) : 0;
}

addrinfo* resolve(std::string_view host, std::uint16_t port, bool passive) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = passive ? AI_PASSIVE : 0;
  addrinfo* list = nullptr;
  const std::string name(host);
  const std::string service = std::to_string(port);
  if (::getaddrinfo(name.empty() ? nullptr : name.c_str(), service.c_str(), &hints, &list) != 0) {
    return nullptr;
  }
  return list;
}

// A socket with its network event and its wake-up event; closes all three.
struct Handles {
  SOCKET s = INVALID_SOCKET;
  WSAEVENT net = WSA_INVALID_EVENT;
  HANDLE wake = nullptr;
  ~Handles() {
    if (s != INVALID_SOCKET) ::closesocket(s);
    if (net != WSA_INVALID_EVENT) ::WSACloseEvent(net);
    if (wake != nullptr) ::CloseHandle(wake);
  }
  bool attach(long events) {
    net = ::WSACreateEvent();
    wake = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return net != WSA_INVALID_EVENT && wake != nullptr && ::WSAEventSelect(s, net, events) == 0;
  }
};

}  // namespace

struct TcpSocket::Impl {
  Handles h;
  std::atomic<bool> readable{false};
  std::atomic<bool> writable{true};
  std::atomic<bool> closed{false};
  std::atomic<bool> shut{false};
};

struct TcpListener::Impl {
  Handles h;
};

TcpSocket::TcpSocket(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TcpSocket::~TcpSocket() = default;

std::unique_ptr<TcpSocket> TcpSocket::connect(std::string_view host, std::uint16_t port,
                                              std::uint32_t timeout_ms) {
  if (!startWinsock()) return nullptr;
  addrinfo* list = resolve(host, port, false);
  if (list == nullptr) return nullptr;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::unique_ptr<TcpSocket> result;
  for (addrinfo* a = list; a != nullptr && !result; a = a->ai_next) {
    auto impl = std::make_unique<Impl>();
    SOCKET s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    impl->h.s = s;
    u_long nonBlocking = 1;
    if (s == INVALID_SOCKET || ::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) continue;
    if (::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
      if (::WSAGetLastError() != WSAEWOULDBLOCK) continue;
      fd_set writable, failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(s, &writable);
      FD_SET(s, &failed);
      const DWORD left = remainingMs(timeout_ms, deadline);
      timeval tv{static_cast<long>(left / 1000), static_cast<long>((left % 1000) * 1000)};
      if (::select(0, nullptr, &writable, &failed, &tv) <= 0 || !FD_ISSET(s, &writable)) {
        continue;
      }
    }
    const BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&one), sizeof one);
    if (!impl->h.attach(FD_READ | FD_WRITE | FD_CLOSE)) continue;
    result = std::make_unique<TcpSocket>(std::move(impl));
  }
  ::freeaddrinfo(list);
  return result;
}

long TcpSocket::send(const std::uint8_t* data, std::size_t count) {
  // Cleared before sending: an FD_WRITE that comes after a refused send sets it again.
  impl_->writable = false;
  std::size_t total = 0;
  while (total < count) {
    const int chunk = static_cast<int>(count - total > 0x10000 ? 0x10000 : count - total);
    const int n = ::send(impl_->h.s, reinterpret_cast<const char*>(data + total), chunk, 0);
    if (n == SOCKET_ERROR) {
      if (::WSAGetLastError() == WSAEWOULDBLOCK) return static_cast<long>(total);
      return -1;
    }
    total += static_cast<std::size_t>(n);
  }
  impl_->writable = true;
  return static_cast<long>(total);
}

long TcpSocket::receive(std::uint8_t* data, std::size_t count) {
  if (count == 0) return 0;
  if (impl_->shut) return -1;
  impl_->readable = false;
  const int chunk = static_cast<int>(count > 0x10000 ? 0x10000 : count);
  const int n = ::recv(impl_->h.s, reinterpret_cast<char*>(data), chunk, 0);
  if (n > 0) return n;
  if (n == 0) return -1;
  if (::WSAGetLastError() == WSAEWOULDBLOCK) return impl_->closed ? -1 : 0;
  return -1;
}

unsigned TcpSocket::wait(unsigned conditions, std::uint32_t timeout_ms) {
  const auto deadline =
      Clock::now() + std::chrono::milliseconds(timeout_ms == kInfinite ? 0 : timeout_ms);
  Impl& m = *impl_;
  for (;;) {
    unsigned result = 0;
    if ((conditions & kSocketReadable) && (m.readable || m.closed || m.shut)) {
      result |= kSocketReadable;
    }
    if ((conditions & kSocketWritable) && (m.writable || m.closed || m.shut)) {
      result |= kSocketWritable;  // after a close, send() reports it
    }
    if (result != 0) {
      if (::WaitForSingleObject(m.h.wake, 0) == WAIT_OBJECT_0) result |= kSocketWoken;
      return result;
    }
    WSAEVENT events[2] = {m.h.net, m.h.wake};
    const DWORD r =
        ::WSAWaitForMultipleEvents(2, events, FALSE, remainingMs(timeout_ms, deadline), FALSE);
    if (r == WSA_WAIT_EVENT_0 + 1) return kSocketWoken;
    if (r != WSA_WAIT_EVENT_0) {
      if (r == WSA_WAIT_TIMEOUT) return 0;
      return conditions & kSocketReadable;  // the caller's receive() reports the failure
    }
    WSANETWORKEVENTS ne{};
    if (::WSAEnumNetworkEvents(m.h.s, m.h.net, &ne) != 0) {
      m.closed = true;
      continue;
    }
    if (ne.lNetworkEvents & FD_READ) m.readable = true;
    if (ne.lNetworkEvents & FD_WRITE) m.writable = true;
    if (ne.lNetworkEvents & FD_CLOSE) m.closed = true;
  }
}

void TcpSocket::wake() { ::SetEvent(impl_->h.wake); }

void TcpSocket::shutdown() {
  ::shutdown(impl_->h.s, SD_BOTH);
  impl_->shut = true;
  ::WSASetEvent(impl_->h.net);  // a waiter looks again and sees the latch
}

TcpListener::TcpListener(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TcpListener::~TcpListener() = default;

std::unique_ptr<TcpListener> TcpListener::listen(std::string_view host, std::uint16_t port) {
  if (!startWinsock()) return nullptr;
  addrinfo* list = resolve(host, port, true);
  if (list == nullptr) return nullptr;
  std::unique_ptr<TcpListener> result;
  for (addrinfo* a = list; a != nullptr && !result; a = a->ai_next) {
    auto impl = std::make_unique<Impl>();
    SOCKET s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    impl->h.s = s;
    if (s == INVALID_SOCKET) continue;
    const BOOL one = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one),
                 sizeof one);
    if (::bind(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0 || ::listen(s, 4) != 0 ||
        !impl->h.attach(FD_ACCEPT)) {
      continue;
    }
    result = std::make_unique<TcpListener>(std::move(impl));
  }
  ::freeaddrinfo(list);
  return result;
}

std::uint16_t TcpListener::port() const {
  sockaddr_storage addr{};
  int len = sizeof addr;
  if (::getsockname(impl_->h.s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  if (addr.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in*>(&addr)->sin_port);
  }
  if (addr.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_port);
  }
  return 0;
}

std::unique_ptr<TcpSocket> TcpListener::accept(std::uint32_t timeout_ms) {
  WSAEVENT events[2] = {impl_->h.net, impl_->h.wake};
  const DWORD r = ::WSAWaitForMultipleEvents(
      2, events, FALSE, timeout_ms == kInfinite ? WSA_INFINITE : timeout_ms, FALSE);
  if (r != WSA_WAIT_EVENT_0) return nullptr;
  WSANETWORKEVENTS ne{};
  ::WSAEnumNetworkEvents(impl_->h.s, impl_->h.net, &ne);
  auto impl = std::make_unique<TcpSocket::Impl>();
  impl->h.s = ::accept(impl_->h.s, nullptr, nullptr);
  if (impl->h.s == INVALID_SOCKET) return nullptr;
  // The accepted socket inherits the listener's event selection; give it its own.
  if (!impl->h.attach(FD_READ | FD_WRITE | FD_CLOSE)) return nullptr;
  const BOOL one = TRUE;
  ::setsockopt(impl->h.s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
               sizeof one);
  return std::make_unique<TcpSocket>(std::move(impl));
}

void TcpListener::wake() { ::SetEvent(impl_->h.wake); }

}  // namespace vexcard::platform
