// The line's health from a driver's log: per day (or hour), the requests by command and
// outcome, the faults of the line and how long the exchanges took against the least time
// the wire allows.
//
// A request is one command the driver sent, with all its attempts: a "Send:" dump that
// repeats the text of a request still open (same packet index, same bytes) is another
// attempt of it, also after the link's own commands in between (the shift
// re-synchronisation, the tsReset after 0x8F). Its outcome:
//   done             the last reply is good with reply code 0;
//   refused          the last reply is good with another code (the terminal's refusal);
//   not carried out  no good reply, and the terminal answered every attempt with "N";
//   unknown          no good reply after a reply was lost or spoiled (the terminal may have
//                    carried it out), or reply code 1 (accepted, still executing).
// The money requests (tsSale, tsRefund, tsRefundReset, tsDebit) whose outcome is unknown
// are listed with their figures: they need reconciling with the terminal's records.
//
// Pure functions; thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "link/request_outcome.h"

namespace vexcard::logreader {

// The outcomes the driver itself decides where an exchange ends.
using link::RequestOutcome;
inline constexpr std::size_t kOutcomeCount = 4;
using link::outcomeName;  // "done", "refused", ...

// A money request to reconcile (UTF-8).
struct UnsettledRequest {
  std::string stamp;    // of its first attempt
  std::string request;  // decoded, with its figures
  std::string verdict;  // what the last attempt got
};

struct DurationStats {
  std::size_t count = 0;
  double medianMs = 0, p95Ms = 0, maxMs = 0;
  double wireFloorMs = 0;  // request and reply at 9600 baud, 10 bits a character
};

struct PeriodSummary {
  std::string period;  // "09.12" or, hourly, "09.12 14"
  std::map<std::string, std::array<std::size_t, kOutcomeCount>> outcomes;  // by command
  std::vector<UnsettledRequest> unsettled;
  std::size_t exchanges = 0;          // requests sent ("Send:" dumps), retries included
  std::size_t retries = 0;            // attempts beyond the first
  std::size_t timeouts = 0;           // no reply within the wait
  std::size_t refusals = 0;           // "N"
  std::size_t spoiled = 0;            // a wrong checksum or terminator
  std::size_t handshakeFailures = 0;  // hand-shake tries without the terminal's answer
  std::size_t polls = 0;              // keep-alive tsReset polls
  std::size_t reconnects = 0;         // network serial connections made again
  std::map<std::string, DurationStats> durations;  // good replies, by command
};

// The summary of a log (Windows-1251; generations joined oldest first), periods in the
// order of the log.
std::vector<PeriodSummary> summarizeLog(std::string_view log, bool hourly);

}  // namespace vexcard::logreader
