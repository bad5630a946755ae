#include "service/server.h"

#include <cstdio>

#include "service/log.h"

namespace taskd {

std::string PipeNameFor(const std::string &suffix) { return "ZEPTAR_" + suffix + "_TSK_REQ"; }

void LogRequest(const RequestSummary &summary, const Caller &caller, std::chrono::steady_clock::time_point started,
                bool sent) {
    // A read-only request that succeeded is routine: debug level. Nothing
    // (not even the caller's user name) is looked up when the level leaves
    // the line out.
    const log::Level level =
        summary.read_only && summary.status == 0 && sent ? log::Level::Debug : log::Level::Info;
    if (!log::Enabled(level)) return;
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    char line[160];
    std::snprintf(line, sizeof line, "request 0x%08X (%s) from ", static_cast<unsigned>(summary.code), summary.name);
    char tail[96];
    std::snprintf(tail, sizeof tail, ": status %d, value %d, %.2f ms%s", static_cast<int>(summary.status),
                  static_cast<int>(summary.value), ms, sent ? "" : " (the caller left before the reply)");
    std::string text = line;
    text += caller.Describe();
    text += tail;
    log::Write(level, text);
}

} // namespace taskd
