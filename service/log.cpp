#include "service/log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "service/lifecycle.h"

namespace taskd::log {
namespace {

std::atomic<int> g_level{static_cast<int>(Level::Info)};
std::mutex g_mu;

const char *Tag(Level level) {
    switch (level) {
    case Level::Error: return "error";
    case Level::Warning: return "warning";
    case Level::Info: return "info";
    case Level::Debug: return "debug";
    }
    return "info";
}

std::tm UtcNow(long *millis) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    *millis = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm tm{};
#if defined(_WIN32)
    gmtime_s(&tm, &t);
#else
    gmtime_r(&t, &tm);
#endif
    return tm;
}

} // namespace

std::string Escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c != 0x7F) {
            out += ch;
            continue;
        }
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
        }
    }
    return out;
}

std::optional<Level> ParseLevel(std::string_view name) {
    if (name == "error") return Level::Error;
    if (name == "warning") return Level::Warning;
    if (name == "info") return Level::Info;
    if (name == "debug") return Level::Debug;
    return std::nullopt;
}

void SetLevel(Level level) { g_level.store(static_cast<int>(level)); }
bool Enabled(Level level) { return static_cast<int>(level) <= g_level.load(); }

void Write(Level level, std::string_view text) {
    if (!Enabled(level)) return;
    long ms = 0;
    const std::tm tm = UtcNow(&ms);
    char stamp[96];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    // Names, command lines and texts come from callers and tasks: escaped,
    // none of them can end the line and forge another one.
    const std::string line = Escaped(text);
    std::lock_guard<std::mutex> lock(g_mu);
    // Syslog numbers: error 3, warning 4, info 6, debug 7.
    static constexpr int kPriority[] = {3, 4, 6, 7};
    std::fprintf(stderr, "%s%s %s %.*s\n", lifecycle::JournalPrefix(kPriority[static_cast<int>(level)]), stamp,
                 Tag(level), static_cast<int>(line.size()), line.data());
    std::fflush(stderr);
}

std::string UtcTimestamp() {
    long ms = 0;
    const std::tm tm = UtcNow(&ms);
    char stamp[96];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return stamp;
}

} // namespace taskd::log
