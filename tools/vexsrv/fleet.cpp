#include "tools/vexsrv/fleet.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "vexsrv/fleet.h"

namespace vexsrv::tool {
namespace {

using json = nlohmann::ordered_json;

int Rank(int code) {
    switch (code) {
    case kExitOk:
        return 0;
    case kExitRefused:
        return 1;
    case kExitUsage:
        return 2;
    case kExitQueryRefused:
        return 3;
    case kExitUnreachable:
        return 4;
    case kExitTimedOut:
        return 5;
    }
    return 2;
}

// What a row says of its outcome, in one word or two.
std::string OutcomeOf(const Report &rep) {
    if (rep.exit_code == kExitOk) return "ok";
    switch (rep.origin) {
    case Origin::Service:
        return "refused";
    case Origin::System:
    case Origin::Unreachable:
        return "unreachable";
    case Origin::Timeout:
        return "timed out";
    case Origin::Library:
    case Origin::Tool:
        return "not sent";
    }
    return "failed";
}

// A cell on one line: the rows stay one per node.
std::string OneLine(const std::string &text) {
    std::string out;
    for (char c : text)
        out += c == '\n' ? ' ' : Printable(c);
    return out;
}

std::string Seconds(double s) {
    std::ostringstream out;
    out << s;
    return out.str();
}

Report ReportOfRow(const NodeResult<Report> &row, double timeout) {
    switch (row.outcome) {
    case NodeOutcome::Done:
        return row.result;
    case NodeOutcome::TimedOut:
        return ToolReport(kExitTimedOut,
                          "no outcome within " + Seconds(timeout) +
                              " s (--timeout); the call was abandoned and its outcome on the node is unknown",
                          Origin::Timeout);
    case NodeOutcome::Failed:
        break;
    }
    return ToolReport(kExitUsage, "the call failed: " + row.error);
}

} // namespace

int WorstExitCode(const std::vector<int> &codes) {
    int worst = kExitOk;
    for (int code : codes)
        if (Rank(code) > Rank(worst)) worst = code;
    return worst;
}

int RunOnNodes(const Verb &verb, const Args &args, const FleetRequest &request) {
    const std::string operation = OperationName(verb);
    std::vector<std::string> nodes = request.nodes;
    if (request.all) {
        Result<std::vector<std::string>> found = DiscoverNodes(std::nullopt, request.wait_ms);
        if (!found.ok) {
            Report rep = ReportOf(found);
            Print(rep, "discover", request.json);
            return rep.exit_code;
        }
        nodes = std::move(found.data);
        if (nodes.empty()) {
            Print(ToolReport(kExitUnreachable, "no service answered the broadcast within " +
                                                   std::to_string(request.wait_ms) + " ms (--wait)"),
                  operation, request.json);
            return kExitUnreachable;
        }
    }

    const std::string suffix = request.suffix;
    const std::int32_t key = verb.carries_lock_key ? request.lock_key : 0;
    const bool json_out = request.json;
    const Verb *v = &verb; // the table outlives every call
    const auto rows = ForEachNode(
        nodes,
        [v, args, suffix, key, json_out](const std::string &node) {
            return v->run(Service(node, suffix, key), args, json_out);
        },
        {.parallel = request.parallel,
         .timeout = std::chrono::milliseconds(static_cast<long long>(request.timeout * 1000))});

    std::vector<int> codes;
    std::size_t failed = 0;
    bool abandoned = false;
    Table table;
    table.header = {"NODE", "OUTCOME", "STATUS", "VALUE", "MESSAGE"};
    {
        const std::lock_guard<std::mutex> hold(OutputLock());
        for (const auto &row : rows) {
            const Report rep = ReportOfRow(row, request.timeout);
            codes.push_back(rep.exit_code);
            if (rep.exit_code != kExitOk) ++failed;
            if (row.outcome == NodeOutcome::TimedOut) abandoned = true;
            if (json_out) {
                json object = {{"node", row.node}};
                const json single = ToJson(rep, operation);
                for (const auto &[k, value] : single.items())
                    object[k] = value;
                std::cout << object.dump() << '\n';
            } else {
                table.Add({OneLine(row.node), OutcomeOf(rep), rep.status ? std::to_string(*rep.status) : "-",
                           rep.value ? std::to_string(*rep.value) : "-", OneLine(rep.message)});
            }
        }
        if (!json_out) PrintTable(table);
        std::cout.flush();
        if (failed > 0)
            std::cerr << failed << " of " << rows.size() << " nodes failed" << std::endl;
    }
    const int code = WorstExitCode(codes);
    if (abandoned) {
        // Those calls are still inside the library: end without running
        // destructors under their feet.
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(code);
    }
    return code;
}

} // namespace vexsrv::tool
