// The POSIX (Linux) serial device: a terminal device in raw mode.
//
// Opening: O_RDWR | O_NOCTTY | O_NONBLOCK, TIOCEXCL and an exclusive flock (TIOCEXCL does
// not hold off a privileged opener; the lock does), raw mode with CLOCAL and CREAD.
//
// Settings: LineSettings maps to termios: the speed (any rate through termios2), CS5..CS8,
// PARENB/PARODD/CMSPAR for the five parities, CSTOPB for two stop bits, CRTSCTS from the
// CTS-flow bit of the flags word and INPCK from its parity-check bit. The RTS and DTR
// control fields have no termios counterpart. After writing, the settings are read back:
// a device that did not take them (a pseudo-terminal keeps only 8N1) counts as refusing
// them and gets its previous settings again. setupQueues has no kernel counterpart (the
// tty layer sizes its own buffers) and is accepted.
//
// Status: the error word comes from TIOCGICOUNT deltas (frame, overrun, parity, break,
// buffer overrun) where the driver offers them, the queue counts from FIONREAD and
// TIOCOUTQ. Purge of the receive side is tcflush(TCIFLUSH).
//
// Events: received data is waited for with epoll, edge-triggered, on the device together
// with a wake-up pipe. Edge triggering reports each new arrival once, as the Win32
// receive-char event does; a level-triggered wait would report bytes that the port leaves
// in the device (its input ring being full) again and again, and spin. setEventMask writes
// the pipe, which completes a pending wait with the mask 0. Modem-line changes (CTS, DSR,
// carrier, ring) are waited for with TIOCMIWAIT on a helper thread (InterruptibleLoop,
// which a signal ends at close) and posted to the waiter through the same pipe; nothing
// polls the lines on a timer. The helper only runs on devices that answer TIOCMGET:
// pseudo-terminals answer modem-line calls with ENOTTY, which is reported once in the log;
// there line control fails and no modem events come, while data works. Break and line
// error events are not delivered (no kernel wait exists for them); the errors still reach
// the port through the error word at every receive.
//
// A hang-up (EPOLLHUP or EPOLLERR on the device, a zero-byte read with the queue gone, a
// write failing with EIO) means the device has vanished: waits end with kResultFailed.
//
// Writes: non-blocking writes; when the device's queue is full, poll for POLLOUT until the
// write time-out the port installed, or until cancelWrite() (a byte in the cancel pipe; a
// cancel that comes before a write has started ends that write).
//
// Thread-safety: see device_posix_impl.h.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "comport/device_map.h"
#include "comport/device_posix.h"
#include "comport/device_posix_impl.h"
#include "comport/line_speed_posix.h"

namespace vexcard::comport {

namespace posix_detail {

namespace {

constexpr std::uint32_t kFlagParityCheck = 0x0002;
constexpr std::uint32_t kFlagCtsFlow = 0x0004;
constexpr std::uint32_t kFlagDtrEnable = 0x0010;
constexpr std::uint32_t kFlagRtsEnable = 0x1000;
constexpr std::uint32_t kFlagRtsHandshake = 0x2000;

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

bool makePipe(int fds[2]) { return ::pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0; }

std::uint32_t modemBits(int lines) {
  return ((lines & TIOCM_CTS) ? kMsCtsOn : 0) | ((lines & TIOCM_DSR) ? kMsDsrOn : 0) |
         ((lines & TIOCM_RNG) ? kMsRingOn : 0) | ((lines & TIOCM_CD) ? kMsRlsdOn : 0);
}

}  // namespace

PosixSerialDevice::~PosixSerialDevice() {
  modemWatch_.stop();  // before the descriptor it waits on is closed
  closeFd(epoll_);
  closeFd(wake_[0]);
  closeFd(wake_[1]);
  closeFd(cancel_[0]);
  closeFd(cancel_[1]);
  closeFd(fd_);  // releases the flock and the exclusive mode
}

bool PosixSerialDevice::open() {
  fd_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0 || !::isatty(fd_)) return false;
  (void)::ioctl(fd_, TIOCEXCL);
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) return false;
  termios t{};
  if (::tcgetattr(fd_, &t) != 0) return false;
  ::cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (::tcsetattr(fd_, TCSANOW, &t) != 0) return false;
  if (!makePipe(wake_) || !makePipe(cancel_)) return false;
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (epoll_ < 0) return false;
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLET;
  ev.data.fd = fd_;
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd_, &ev) != 0) return false;
  ev.events = EPOLLIN;
  ev.data.fd = wake_[0];
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_[0], &ev) != 0) return false;
  startModemWatch();
  return true;
}

bool PosixSerialDevice::getSettings(LineSettings& out) {
  termios t{};
  std::uint32_t rate = 0;
  if (::tcgetattr(fd_, &t) != 0 || !readLineSpeed(fd_, rate)) return false;
  out.baudRate = rate;
  switch (t.c_cflag & CSIZE) {
    case CS5:
      out.byteSize = 5;
      break;
    case CS6:
      out.byteSize = 6;
      break;
    case CS7:
      out.byteSize = 7;
      break;
    default:
      out.byteSize = 8;
      break;
  }
  out.parity = 0;
  if (t.c_cflag & PARENB) {
    const bool odd = (t.c_cflag & PARODD) != 0;
    out.parity = (t.c_cflag & CMSPAR) ? (odd ? 3 : 4) : (odd ? 1 : 2);
  }
  out.stopBits = (t.c_cflag & CSTOPB) ? 2 : 0;
  out.flags = 0x0001 | kFlagDtrEnable;  // binary; DTR raised while open
  if (t.c_iflag & INPCK) out.flags |= kFlagParityCheck;
  out.flags |= (t.c_cflag & CRTSCTS) ? kFlagCtsFlow | kFlagRtsHandshake : kFlagRtsEnable;
  return true;
}

bool PosixSerialDevice::setSettings(const LineSettings& s) {
  termios before{};
  std::uint32_t rateBefore = 0;
  if (::tcgetattr(fd_, &before) != 0 || !readLineSpeed(fd_, rateBefore)) return false;
  termios t = before;
  tcflag_t size;
  switch (s.byteSize) {
    case 5:
      size = CS5;
      break;
    case 6:
      size = CS6;
      break;
    case 7:
      size = CS7;
      break;
    case 8:
      size = CS8;
      break;
    default:
      return false;
  }
  static constexpr tcflag_t kParity[] = {0, PARENB | PARODD, PARENB, PARENB | PARODD | CMSPAR,
                                         PARENB | CMSPAR};
  if (s.parity > 4 || s.stopBits == 1 || s.stopBits > 2 || s.baudRate == 0) return false;
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= size | kParity[s.parity] | (s.stopBits == 2 ? CSTOPB : 0);
  if (s.flags & kFlagCtsFlow) t.c_cflag |= CRTSCTS;
  t.c_iflag &= ~INPCK;
  if (s.flags & kFlagParityCheck) t.c_iflag |= INPCK;
  bool ok = ::tcsetattr(fd_, TCSANOW, &t) == 0 && writeLineSpeed(fd_, s.baudRate);
  // Read back: tcsetattr succeeds when any part was taken.
  termios after{};
  std::uint32_t rate = 0;
  constexpr tcflag_t kChecked = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
  ok = ok && ::tcgetattr(fd_, &after) == 0 && readLineSpeed(fd_, rate) &&
       (after.c_cflag & kChecked) == (t.c_cflag & kChecked) &&
       // A UART divides its clock: within 2 % of the asked rate the line still works.
       std::uint64_t{rate > s.baudRate ? rate - s.baudRate : s.baudRate - rate} * 50 <= s.baudRate;
  if (!ok) {
    (void)::tcsetattr(fd_, TCSANOW, &before);
    (void)writeLineSpeed(fd_, rateBefore);
  }
  return ok;
}

bool PosixSerialDevice::setTimeouts(const CommTimeouts& timeouts) {
  std::lock_guard<std::mutex> g(mutex_);
  timeouts_ = timeouts;
  return true;
}

std::uint32_t PosixSerialDevice::clearError(CommStatusRecord& status) {
  status = {};
  int count = 0;
  if (::ioctl(fd_, FIONREAD, &count) == 0) status.inQueue = static_cast<std::uint32_t>(count);
  if (::ioctl(fd_, TIOCOUTQ, &count) == 0) status.outQueue = static_cast<std::uint32_t>(count);
  std::uint32_t word = 0;
#if defined(TIOCGICOUNT)
  std::lock_guard<std::mutex> g(mutex_);
  serial_icounter_struct c{};
  if (errorCountsSupported_ && ::ioctl(fd_, TIOCGICOUNT, &c) == 0) {
    if (haveErrorCounts_) {
      if (c.buf_overrun != errorCounts_.buf_overrun) word |= kCeRxOver;
      if (c.overrun != errorCounts_.overrun) word |= kCeOverrun;
      if (c.parity != errorCounts_.parity) word |= kCeRxParity;
      if (c.frame != errorCounts_.frame) word |= kCeFrame;
      if (c.brk != errorCounts_.brk) word |= kCeBreak;
    }
    errorCounts_ = c;
    haveErrorCounts_ = true;
  } else {
    errorCountsSupported_ = false;
  }
#endif
  return word;
}

bool PosixSerialDevice::purge(std::uint32_t flags) {
  if ((flags & kPurgeRxClear) != 0) return ::tcflush(fd_, TCIFLUSH) == 0;
  return true;
}

bool PosixSerialDevice::getModemStatus(std::uint32_t& status) {
  int lines = 0;
  if (!modemLines_ || ::ioctl(fd_, TIOCMGET, &lines) != 0) return false;
  status = modemBits(lines);
  return true;
}

}  // namespace posix_detail

std::unique_ptr<SerialDevice> openPosixSerialDevice(const std::string& path) {
  auto device = std::make_unique<posix_detail::PosixSerialDevice>(path);
  if (!device->open()) {
    // errno is that of the call that failed (ENOTTY for a file that is no terminal,
    // EWOULDBLOCK for a device another program holds).
    setOpenFailure(path + ": " + std::strerror(errno));
    return nullptr;
  }
  return device;
}

}  // namespace vexcard::comport
