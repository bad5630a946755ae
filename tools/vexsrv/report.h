// What the tool prints for one call: as a short aligned table for people, or
// as one JSON object (the schema of docs/cli.md), and the exit code that goes
// with it.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "vexsrv/result.h"

namespace vexsrv::tool {

// The exit codes, as the help and docs/cli.md document them.
enum ExitCode : int {
    kExitOk = 0,          // the operation succeeded (is-running: it runs)
    kExitRefused = 1,     // the service answered with a non-zero status (is-running: it does not run)
    kExitUsage = 2,       // bad usage, or refused locally before anything was sent
    kExitUnreachable = 3, // the exchange failed: service or node not reachable
    kExitTimedOut = 4,    // no outcome within --timeout; the outcome on the service is unknown
    kExitQueryRefused = 5 // is-running only: the service refused the query
};

// Where an outcome came from: the fixed identifiers of the "source" member.
enum class Origin {
    Service,     // the service answered
    System,      // the exchange failed: the system's error code and text
    Library,     // the local library refused before sending anything
    Unreachable, // the node did not answer the library's echo; nothing was sent
    Tool,        // the tool itself: usage, missing arguments
    Timeout,     // no outcome within --timeout
};
std::string_view OriginName(Origin origin);
Origin OriginOf(Source source);

// Rows of cells, printed with the columns aligned.
struct Table {
    std::vector<std::string> header; // none: a key/value table
    std::vector<std::vector<std::string>> rows;

    void Add(std::vector<std::string> row) { rows.push_back(std::move(row)); }
};

// Everything printed about one call.
struct Report {
    bool ok = false;
    Origin origin = Origin::Tool;
    int exit_code = kExitUsage;
    std::optional<std::int32_t> status; // the reply's status, or the system error code
    std::optional<std::int32_t> value;  // the reply's value
    std::string message;
    nlohmann::ordered_json data = nlohmann::ordered_json::object(); // what the operation returns besides
    Table table;                                                    // the data for people, printed on success
};

// The exit code for a Result's outcome.
int ExitCodeFor(bool ok, Source source);

// A report of a Result. The data go with it on success only: a failed call
// returns nothing but its outcome.
template <class T>
Report ReportOf(const Result<T> &r, nlohmann::ordered_json data = nlohmann::ordered_json::object(), Table table = {}) {
    Report rep;
    rep.ok = r.ok;
    rep.origin = OriginOf(r.source);
    rep.exit_code = ExitCodeFor(r.ok, r.source);
    if (rep.origin == Origin::Service || rep.origin == Origin::System) rep.status = r.status;
    if (rep.origin == Origin::Service) rep.value = r.value;
    rep.message = r.message;
    if (r.ok) {
        rep.data = std::move(data);
        rep.table = std::move(table);
    }
    return rep;
}

// A report of the tool's own refusal or failure.
Report ToolReport(int exit_code, std::string message, Origin origin = Origin::Tool);

// Serialises all output of the process: the worker thread prints answers as
// they arrive while the main thread may print progress or a time-out.
std::mutex &OutputLock();

// What a terminal is shown of a character from the service or the network:
// control characters (but the line feed) become '?', so that no text can
// steer the terminal. JSON output escapes them instead.
char Printable(char c);

// Prints a table to stdout.
void PrintTable(const Table &table);

// The JSON object of a report; operation names the call, as "db start".
nlohmann::ordered_json ToJson(const Report &report, std::string_view operation);

// Prints the report: success to stdout, failure to stderr, or the JSON object
// to stdout.
void Print(const Report &report, std::string_view operation, bool json);

// Whether stderr is a terminal (for progress lines).
bool ErrorIsTerminal();

} // namespace vexsrv::tool
