#include "service/server.h"

#include <cstdio>

#include "service/log.h"

namespace taskd {

std::string PipeNameFor(const std::string &suffix) { return "ZEPTAR_" + suffix + "_TSK_REQ"; }

void LogRequest(const RequestSummary &summary, const Caller &caller, std::chrono::steady_clock::time_point started,
                bool sent) {
    // Nothing to build when the level leaves the line out.
    if (!log::Enabled(log::Level::Info)) return;
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    char line[160];
    std::snprintf(line, sizeof line, "request 0x%08X (%s) from ", static_cast<unsigned>(summary.code), summary.name);
    char tail[96];
    std::snprintf(tail, sizeof tail, ": status %d, value %d, %.2f ms%s", static_cast<int>(summary.status),
                  static_cast<int>(summary.value), ms, sent ? "" : " (the caller left before the reply)");
    log::Info(std::string(line) + caller.Describe() + tail);
}

} // namespace taskd
