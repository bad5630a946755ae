// Calls whose every answer from the reference service can be told apart:
// each carries a token of its own (a status to set, a subsystem or task name)
// that the service's answer names again, or asks for something the service
// was configured with. A crossed reply (another call's answer) or a lost one
// (no answer) shows in the check.
#pragma once

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "vexsrvapi.h"

namespace vex::test {

// How tidewell-taskd is started for these tests, and what it then answers.
inline std::vector<std::string> ServiceArguments() {
    return {"--workers", "8",          "--log-level",  "warning",    "--no-browse",  "--subsystem",
            "ALARMS",    "--subsystem", "HISTORY",     "--permissions", "0x12345678", "0x9ABCDEF0",
            "--db-version", "3.14.15", "--db-version-text", "load test build"};
}

enum class CallOutcome {
    Matched, // the answer that belongs to this call
    Lost,    // the exchange failed: no answer at all
    Crossed, // an answer, but not this call's
};

struct CallResult {
    CallOutcome outcome = CallOutcome::Lost;
    std::int32_t status = 0; // the status out, for lost calls the system's code
    std::string detail;      // what was wrong, for the failure message
};

inline bool Contains(const char *text, const std::string &part) { return std::strstr(text, part.c_str()) != nullptr; }

// A name made of a letter and a number, for example "S42".
inline std::string Token(char letter, std::int32_t n) {
    std::string s(1, letter);
    s += std::to_string(n);
    return s;
}

// The name in the quotes that the service's texts put around it.
inline std::string InQuotes(const std::string &name) {
    std::string s(1, '\'');
    s += name;
    s += '\'';
    return s;
}

// Whether the registered task list (in list order) names name.
inline bool ListHolds(const std::string &suffix, const std::string &name) {
    std::int32_t value = 0, status = 0;
    CStringArray *list = nullptr;
    VexSrv_GetTaskList(0, ".", suffix.c_str(), &value, &status, 0, &list, nullptr, 0);
    bool found = false;
    for (std::int32_t i = 0; list != nullptr && i < list->GetSize(); ++i)
        found = found || std::strcmp(list->GetAt(i).GetString(), name.c_str()) == 0;
    VexSrv_FreeCStringArray(list);
    return found;
}

// One call of kind (0 to 7) carrying token, against the service of suffix on
// node. A call is lost when its exchange failed, which shows in an output
// that only a completed exchange writes.
inline CallResult MixedCallOn(const char *node, const std::string &suffix, int kind, std::int32_t token) {
    const char *sfx = suffix.c_str();
    constexpr std::int32_t kUnwritten = INT32_MIN;
    std::int32_t value = kUnwritten, status = kUnwritten;
    char msg[512] = {};
    CallResult res;
    auto judge = [&](bool lost, bool matched, const std::string &what) {
        res.status = status;
        if (lost) {
            res.outcome = CallOutcome::Lost;
            res.detail = what + ": exchange failed with " + std::to_string(status) + ": " + msg;
        } else if (matched) {
            res.outcome = CallOutcome::Matched;
        } else {
            res.outcome = CallOutcome::Crossed;
            res.detail = what + ": status " + std::to_string(status) + ", value " + std::to_string(value) +
                         ", text \"" + msg + "\"";
        }
        return res;
    };
    switch (kind % 8) {
    case 0: {
        // A status the service refuses to set, named in its refusal. The
        // value goes in as the status to set and is overwritten by an answer.
        const std::int32_t wanted = 1000 + token;
        value = wanted;
        const std::int32_t r = VexSrv_SetTidewellStatus(node, sfx, &value, &status, msg, sizeof msg);
        return judge(value == wanted, r == 0 && status != 0 && Contains(msg, "Status " + std::to_string(wanted) + " "),
                     "set status " + std::to_string(wanted));
    }
    case 1: {
        const std::string name = Token('S', token);
        const std::int32_t r = VexSrv_StopSubsystem(0, node, sfx, name.c_str(), &value, &status, msg, sizeof msg);
        return judge(value == kUnwritten, r == 0 && status != 0 && Contains(msg, InQuotes(name)),
                     "stop subsystem " + name);
    }
    case 2: {
        const std::string name = Token('T', token);
        const std::int32_t r =
            VexSrv_StartTaskByName(0, node, sfx, name.c_str(), 0, &value, &status, msg, sizeof msg);
        return judge(value == kUnwritten, r == 0 && status != 0 && Contains(msg, InQuotes(name)),
                     "start task " + name);
    }
    case 3: {
        const std::string name = Token('K', token);
        const std::int32_t r = VexSrv_StopTask(0, node, sfx, name.c_str(), 1, &value, &status, msg, sizeof msg);
        return judge(value == kUnwritten, r == 0 && status != 0 && Contains(msg, InQuotes(name)),
                     "stop task " + name);
    }
    case 4: {
        std::uint32_t first = 0, second = 0;
        const std::int32_t r =
            VexSrv_GetDBPermis(node, sfx, token, &first, &second, &value, &status, msg, sizeof msg);
        return judge(value == kUnwritten, r == 1 && value == 0 && first == 0x12345678u && second == 0x9ABCDEF0u,
                     "permissions");
    }
    case 5: {
        std::int32_t v1 = 0, v2 = 0, v3 = 0;
        char text[64] = {};
        const std::int32_t r =
            VexSrv_GetDBVersion(node, sfx, &status, &v1, &v2, &v3, text, sizeof text, msg, sizeof msg);
        // No value out here: the fixed offline text marks a failed exchange.
        return judge(std::strcmp(text, "Target computer is offline.") == 0,
                     r == 1 && v1 == 3 && v2 == 14 && v3 == 15 && std::strcmp(text, "load test build") == 0,
                     "version");
    }
    case 6: {
        CStringArray *list = nullptr;
        const std::int32_t r = VexSrv_GetSubSysList(0, node, sfx, &value, &status, &list, msg, sizeof msg);
        const bool ok = r == 1 && list != nullptr && list->GetSize() == 2 &&
                        std::strcmp(list->GetAt(0).GetString(), "ALARMS") == 0 &&
                        std::strcmp(list->GetAt(1).GetString(), "HISTORY") == 0;
        VexSrv_FreeCStringArray(list);
        return judge(value == kUnwritten, ok, "subsystem list");
    }
    default: {
        const std::int32_t r = VexSrv_CheckRunningList(node, sfx, &value, &status, msg, sizeof msg);
        return judge(value == kUnwritten, r == 1 && value == 0 && Contains(msg, "running"),
                     "running list");
    }
    }
}

inline CallResult MixedCall(const std::string &suffix, int kind, std::int32_t token) {
    return MixedCallOn(".", suffix, kind, token);
}

} // namespace vex::test
