// The tool's commands: one table of groups and their verbs. Each verb names
// its options (and only those) and the one call of the C++ layer it makes;
// main.cpp parses the command line against the table and runs the verb.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/vexsrv/report.h"
#include "vexsrv/vexsrv.h"

namespace vexsrv::tool {

// The values of every verb's options; a verb reads those it declared.
struct Args {
    // task fields
    Task task;
    int layout = 5;
    int byte_a = 0, byte_b = 0, byte_c = 0;
    const CLI::Option *affinity = nullptr; // process start: given or not
    const CLI::Option *priority = nullptr;
    // verb arguments
    bool cluster = false;
    bool no_block = false;
    bool startup_order = false;
    bool wait = false;
    int modifier = 0;
    std::int32_t number = 0; // db set-status STATUS, db permissions --query, task stop --stop-value, lock give TOKEN
    std::int32_t first = 0, second = 0;
    std::int32_t load_option = 0;
    int option_a = 0, option_b = 0, option_c = 0;
    std::string name; // subsystem, group file, snapshot, discovery target
    std::vector<std::string> names;
    std::uint32_t wait_ms = 2000;

    Task BuiltTask() const;
};

struct Verb {
    const char *group; // "" for a command without a group (discover)
    const char *name;
    const char *summary;
    bool carries_lock_key;                        // the request carries --lock-key
    bool progress;                                // show the elapsed-time line while it runs
    void (*options)(CLI::App &verb, Args &args);  // declares its arguments and options
    Report (*run)(const Service &service, const Args &args, bool json);
};

struct Group {
    const char *name;
    const char *summary;
};

const std::vector<Group> &Groups();
const std::vector<Verb> &Verbs();

// "db start", or "discover" for a verb without a group.
std::string OperationName(const Verb &verb);

} // namespace vexsrv::tool
