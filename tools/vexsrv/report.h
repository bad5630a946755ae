// What the tool prints for one call: as a short aligned table for people, or
// as one JSON object, and the exit code that goes with it.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "vexsrv/result.h"

namespace vexsrv::tool {

// The exit codes, as --help documents them.
enum ExitCode : int {
    kExitOk = 0,          // the operation succeeded
    kExitRefused = 1,     // the service answered with a non-zero status
    kExitUsage = 2,       // bad usage, or refused locally before anything was sent
    kExitUnreachable = 3, // the exchange failed: service or node not reachable
    kExitTimedOut = 4,    // no outcome within --timeout; the outcome on the service is unknown
};

// Where a message came from, as printed: the three sources of a Result plus
// the tool itself.
inline constexpr std::string_view kFromTool = "tool";

// Rows of cells, printed with the columns aligned.
struct Table {
    std::vector<std::string> header; // none: a key/value table
    std::vector<std::vector<std::string>> rows;

    void Add(std::vector<std::string> row) { rows.push_back(std::move(row)); }
};

// Everything printed about one call.
struct Report {
    bool ok = false;
    std::int32_t value = 0;
    std::int32_t status = 0;
    std::string message;
    std::string source{kFromTool}; // "service", "system", "local library" or "tool"
    Source result_source = Source::Library;
    bool from_tool = true;
    int exit_code = kExitUsage;
    nlohmann::ordered_json data; // null when the operation returns nothing more
    Table table;                 // the data for people, printed on success
};

// The exit code for a Result's outcome.
int ExitCodeFor(bool ok, Source source);

// A report of a Result, with the data in both forms.
template <class T> Report ReportOf(const Result<T> &r, nlohmann::ordered_json data = nullptr, Table table = {}) {
    Report rep;
    rep.ok = r.ok;
    rep.value = r.value;
    rep.status = r.status;
    rep.message = r.message;
    rep.source = std::string(SourceName(r.source));
    rep.result_source = r.source;
    rep.from_tool = false;
    rep.exit_code = ExitCodeFor(r.ok, r.source);
    rep.data = std::move(data);
    rep.table = std::move(table);
    return rep;
}

// A report of the tool's own refusal or failure.
Report ToolReport(int exit_code, std::string message);

// Serialises all output of the process: the worker thread prints answers as
// they arrive while the main thread may have to print a time-out.
std::mutex &OutputLock();

// What a terminal is shown of a character from the service or the network:
// control characters (but the line feed) become '?', so that no text can
// steer the terminal. JSON output escapes them instead.
char Printable(char c);

// Prints a table to stdout.
void PrintTable(const Table &table);

// Prints the report: success to stdout, failure to stderr, or the JSON object
// to stdout. operation names the call, as "db start".
void Print(const Report &report, std::string_view operation, bool json);

// Whether stderr is a terminal (for progress lines).
bool ErrorIsTerminal();

} // namespace vexsrv::tool
