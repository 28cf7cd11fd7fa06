// The platform's local clock, unreplaced: now as an OLE date (0 when the calendar cannot
// hold it). clock_now.cpp builds nowOle() and the test override on it.
#pragma once

namespace vexcard::platform {

double localClockOle();

}  // namespace vexcard::platform
