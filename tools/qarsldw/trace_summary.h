// `qarsldw trace summary FILE [--json]`: what a call trace (JSON Lines written by the library) says,
// per host operation and per call across the process boundary: count, failures, median, 95th
// percentile and longest duration, busy retries; then the failures with their messages and the
// machine faults.
#pragma once

#include <string>

#include "cli.h"
#include "report.h"

namespace qarsldw {

int RunTraceSummary(const Options& options, Reporter& report);

// The summary of the trace text `lines` (UTF-8, one JSON object a line) as one JSON document (UTF-8).
std::string SummarizeTrace(const std::string& lines);

}  // namespace qarsldw
