// vexcard log --summary: the line's health of a driver's log (logreader/log_summary.h) as a
// table per period, or as JSON for programs.
#pragma once

#include <string>
#include <vector>

#include "logreader/log_summary.h"

namespace vexcard::cli {

// The periods as text: per period the requests by command and outcome, the requests that
// need reconciling, the line's faults and the exchange durations against the wire floor.
std::string summaryText(const std::vector<logreader::PeriodSummary>& periods);

// The periods as one JSON object: {"periods": [...]}, keys in lower_snake_case.
std::string summaryJson(const std::vector<logreader::PeriodSummary>& periods);

}  // namespace vexcard::cli
