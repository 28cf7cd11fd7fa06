// What the journal's and the packet counter's flushes cost a money request, now that they
// run while the terminal answers the hand-shake, against what the counter's flush alone
// cost when it ran before the hand-shake (docs/performance.md, "The flushes and the
// hand-shake").
//
//  flush/before/H  tsSale on an unpaced line, the terminal answering each hand-shake after
//                  H ms and replying at once; the driver's journal off (it cannot be opened);
//                  for H > 0 one packet-counter write of the bench's own store is timed before
//                  each exchange, as the driver made it before the hand-shake (for H = 0 the
//                  driver's own write is already serial, nothing is added).
//  flush/after/H   the same with the driver as it is: the journal's request line and the
//                  counter flushed while it waits for the CTS answer, the outcome appended.
#pragma once

#include <functional>
#include <map>
#include <string>

namespace vexcard::bench {

void registerFlushBenchmarks(bool shortRun);

// Prints the rows of the table: for each H, before and after and their ratio. seconds gives
// the mean time per iteration of a benchmark by name, or a negative value when it did not run.
void printFlushRows(const std::function<double(const std::string&)>& seconds);

}  // namespace vexcard::bench
