// TCP sockets for the network serial port.
//
// A thin layer over BSD sockets (POSIX) and Winsock (Windows). Every socket is
// non-blocking; a thread that has nothing to do waits in wait(), which another thread can
// end at once with wake(). One thread at a time may wait on a socket; send(), receive(),
// wake() and shutdown() may be called from any thread.
//
// Writability follows the Winsock rule on both platforms: wait for kSocketWritable only
// after a send() that took less than it was given; it is reported once the socket can
// take more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace vexcard::platform {

// Bits of a wait() result and of its request.
inline constexpr unsigned kSocketReadable = 1;  // data, end of stream or an error: receive()
inline constexpr unsigned kSocketWritable = 2;  // send() can take more
inline constexpr unsigned kSocketWoken = 4;     // wake() was called

class TcpSocket {
 public:
  // Connects to host (name, IPv4 address or IPv6 address without brackets) and port within
  // timeout_ms. nullptr when the name cannot be resolved, the peer refuses or the time
  // runs out. The socket has TCP_NODELAY and SO_KEEPALIVE set.
  static std::unique_ptr<TcpSocket> connect(std::string_view host, std::uint16_t port,
                                            std::uint32_t timeout_ms);
  ~TcpSocket();  // closes the socket
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  // Hands bytes to the system without waiting. Returns the number taken (0 when its
  // buffer is full), or -1 when the connection is broken.
  long send(const std::uint8_t* data, std::size_t count);
  // Takes what has arrived, up to count bytes, without waiting. Returns the number read
  // (0 when nothing is there), or -1 when the peer closed the connection or it broke.
  long receive(std::uint8_t* data, std::size_t count);
  // Waits until one of the requested conditions (kSocketReadable, kSocketWritable) holds,
  // wake() is called, or timeout_ms (kInfinite from sync.h waits forever) has passed.
  // Returns the bits that hold (kSocketWoken among them), 0 on time-out. A wake() made
  // while nobody waits ends the next wait; each wait consumes it.
  unsigned wait(unsigned conditions, std::uint32_t timeout_ms);
  void wake();
  // Ends both directions: the peer sees the end of the stream, and this side's waits
  // report kSocketReadable with receive() returning -1.
  void shutdown();

  struct Impl;
  explicit TcpSocket(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

class TcpListener {
 public:
  // Listens on host:port (port 0 picks a free port). nullptr when the address cannot be
  // used.
  static std::unique_ptr<TcpListener> listen(std::string_view host, std::uint16_t port);
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  // The port listened on.
  std::uint16_t port() const;
  // Waits up to timeout_ms for a client. nullptr on time-out, after wake(), or on error.
  // One thread at a time may accept.
  std::unique_ptr<TcpSocket> accept(std::uint32_t timeout_ms);
  // Ends the current accept() at once, or the next one. Thread-safe.
  void wake();

  struct Impl;
  explicit TcpListener(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace vexcard::platform
