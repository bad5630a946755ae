// One verb over many nodes: --node A --node B, --nodes A,B,C, or --all (the
// nodes that answer a broadcast). The calls run at once (--parallel), each
// bounded by --timeout; the outcome is a row (or a JSON object) per node in a
// stable order, and the exit code of the worst outcome among them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/vexsrv/commands.h"
#include "tools/vexsrv/report.h"

namespace vexsrv::tool {

struct FleetRequest {
    std::vector<std::string> nodes; // in the order given; each once
    bool all = false;               // discover the nodes first
    std::uint32_t wait_ms = 2000;   // the broadcast's wait, with all
    std::size_t parallel = 16;
    double timeout = 60; // seconds, per node
    bool json = false;
    std::string suffix;
    std::int32_t lock_key = 0;
};

// The exit code of several outcomes: 0 when every one is 0, else the worst:
// timed out (4), then not reached (3), then the service refused the query
// (5), then refused locally (2), then the service refused (1).
int WorstExitCode(const std::vector<int> &codes);

// Runs verb on every node, prints a row or a JSON object per node and, when
// any failed, the line "N of M nodes failed" on stderr, and returns the exit
// code. When a call had to be abandoned at its time-out it ends the process
// itself with that code, since the call is still inside the library.
int RunOnNodes(const Verb &verb, const Args &args, const FleetRequest &request);

} // namespace vexsrv::tool
