#include "comport/line_speed_posix.h"

#if defined(__linux__)
#include <asm/termbits.h>
#include <sys/ioctl.h>
#else
#include <termios.h>
#endif

namespace vexcard::comport {

namespace {

struct SpeedCode {
  std::uint32_t rate;
  unsigned code;
};

constexpr SpeedCode kSpeeds[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};

const SpeedCode* findRate(std::uint32_t rate) {
  for (const SpeedCode& s : kSpeeds) {
    if (s.rate == rate) return &s;
  }
  return nullptr;
}

}  // namespace

#if defined(__linux__)

bool readLineSpeed(int fd, std::uint32_t& rate) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  rate = t.c_ospeed;
  return true;
}

bool writeLineSpeed(int fd, std::uint32_t rate) {
  if (rate == 0) return false;
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  const SpeedCode* standard = findRate(rate);
  t.c_cflag |= standard != nullptr ? standard->code : BOTHER;
  t.c_ispeed = rate;
  t.c_ospeed = rate;
  return ioctl(fd, TCSETS2, &t) == 0;
}

#else

bool readLineSpeed(int fd, std::uint32_t& rate) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  const speed_t code = cfgetospeed(&t);
  for (const SpeedCode& s : kSpeeds) {
    if (s.code == code) {
      rate = s.rate;
      return true;
    }
  }
  return false;
}

bool writeLineSpeed(int fd, std::uint32_t rate) {
  const SpeedCode* standard = findRate(rate);
  termios t{};
  if (standard == nullptr || tcgetattr(fd, &t) != 0) return false;
  cfsetispeed(&t, standard->code);
  cfsetospeed(&t, standard->code);
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

#endif

}  // namespace vexcard::comport
