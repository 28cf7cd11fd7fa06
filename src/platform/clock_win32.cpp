// The local clock on Windows: GetLocalTime, with milliseconds, as an OLE date.
#include <windows.h>


#include "platform/clock.h"
#include "platform/clock_local.h"
#include "vexcard/exception.h"

namespace vexcard::platform {

double localClockOle() {
  SYSTEMTIME st{};
  ::GetLocalTime(&st);
  DateTimeParts p;
  p.year = st.wYear;
  p.month = st.wMonth;
  p.day = st.wDay;
  p.hour = st.wHour;
  p.minute = st.wMinute;
  p.second = st.wSecond;
  p.millisecond = st.wMilliseconds;
  try {
    return encodeOle(p);
  } catch (const Exception&) {
    return 0.0;  // fields the runtime's calendar cannot hold
  }
}

}  // namespace vexcard::platform
