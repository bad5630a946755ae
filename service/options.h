// The command line of tidewell-taskd.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "service/log.h"
#include "service/server.h"
#if !defined(_WIN32)
#include "service/net_listener.h"
#endif
#include "service/task_service.h"

namespace taskd {

// The service's own version, as --version and browse answers give it.
extern const char *const kServiceVersion;

struct Options {
    ServiceConfig service;
    log::Level log_level = log::Level::Info;
    std::vector<std::string> allow_users;
    ServerLimits server;
    std::string log_file; // empty: the log goes to stderr as it is
    bool browse = true;
#if !defined(_WIN32)
    NetConfig net;
#endif
    // Answer browse requests from other nodes by UDP (Linux); unset: on with --listen.
    std::optional<bool> browse_udp;
};

// Parses the command line and the configuration file it names (--config);
// options on the command line win over the file. Returns -1 when the service
// should run, else the exit code (0 after --help or --version, 2 for a bad
// command line or file), the texts already printed; with error given, a
// complaint goes there instead of to stderr.
int ParseOptions(int argc, char **argv, Options *options, std::string *error = nullptr);

} // namespace taskd
