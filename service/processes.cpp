#include "service/processes.h"

#include <thread>

namespace taskd {

std::optional<Priority> PriorityFromRequest(std::int32_t word) {
    switch (word) {
    case -2:
    case 0x40: return Priority::Idle;
    case -1:
    case 0x4000: return Priority::BelowNormal;
    case 0:
    case 0x20: return Priority::Normal;
    case 1:
    case 0x8000: return Priority::AboveNormal;
    case 2:
    case 0x80: return Priority::High;
    default: return std::nullopt;
    }
}

const char *PriorityName(Priority p) {
    switch (p) {
    case Priority::Idle: return "idle";
    case Priority::BelowNormal: return "below normal";
    case Priority::Normal: return "normal";
    case Priority::AboveNormal: return "above normal";
    case Priority::High: return "high";
    }
    return "normal";
}

std::vector<std::string> SplitCommandLine(const std::string &line) {
    std::vector<std::string> args;
    std::string current;
    bool in_arg = false;
    char quote = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\'' || line[i + 1] == '\\')) {
            current += line[++i];
            in_arg = true;
        } else if (quote != 0) {
            if (c == quote)
                quote = 0;
            else
                current += c;
        } else if (c == '"' || c == '\'') {
            quote = c;
            in_arg = true;
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (in_arg) args.push_back(std::move(current));
            current.clear();
            in_arg = false;
        } else {
            current += c;
            in_arg = true;
        }
    }
    if (quote != 0) return {};
    if (in_arg) args.push_back(std::move(current));
    return args;
}

StopOutcome StopProcess(ChildProcess &child, std::chrono::milliseconds grace, int *exit_code,
                        const StopPause &pause_for) {
    using Clock = std::chrono::steady_clock;
    auto wait = [&](std::chrono::milliseconds d) {
        if (pause_for)
            pause_for(d);
        else
            std::this_thread::sleep_for(d);
    };
    const auto ended = [&] {
        const bool running = child.Running(exit_code);
        return !running && !child.GroupAlive();
    };
    if (ended()) return StopOutcome::AlreadyExited;
    child.Terminate();
    const auto deadline = Clock::now() + grace;
    auto pause = std::chrono::milliseconds(1);
    while (Clock::now() < deadline) {
        if (ended()) return StopOutcome::Terminated;
        wait(pause);
        if (pause < std::chrono::milliseconds(50)) pause *= 2;
    }
    child.Kill();
    // A killed process ends at once; the bound only guards against a system
    // that never reports it.
    const auto kill_deadline = Clock::now() + std::chrono::seconds(10);
    while (!ended() && Clock::now() < kill_deadline)
        wait(std::chrono::milliseconds(5));
    return StopOutcome::Killed;
}

} // namespace taskd
