// One call of the tool, bounded in time. The library's calls block without
// limit and cannot be cancelled, so the call runs on a worker thread; when it
// has not ended in time the process ends with its own exit code and a message
// that the outcome on the service is unknown.
#pragma once

#include <functional>
#include <string_view>

#include "tools/vexsrv/report.h"

namespace vexsrv::tool {

// Runs call on a worker thread and returns its report, or, after
// limit_seconds, prints the time-out (as text or JSON) and ends the process
// with kExitTimedOut. An exception from call becomes a report of the tool.
// With progress, a call that runs for more than a second shows one line on
// stderr with the time elapsed, cleared when the call ends.
Report RunBounded(double limit_seconds, const std::function<Report()> &call, std::string_view operation, bool json,
                  bool progress);

} // namespace vexsrv::tool
