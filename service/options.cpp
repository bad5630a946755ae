#include "vexsrv/version.h"
#include "service/options.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <set>

#include "service/os.h"
#include "util/packed_list.h"

#ifndef TASKD_VERSION
#define TASKD_VERSION "0.0.0"
#endif

namespace taskd {

const char *const kServiceVersion = VEXSRV_VERSION_STRING;

namespace {

// "A.B.C" into three numbers.
bool ParseVersion(const std::string &text, std::array<std::int32_t, 3> *out) {
    int a = 0, b = 0, c = 0;
    char extra = 0;
    if (std::sscanf(text.c_str(), "%d.%d.%d%c", &a, &b, &c, &extra) != 3) return false;
    *out = {a, b, c};
    return true;
}

std::string CheckSubsystems(const std::vector<std::string> &names) {
    std::set<std::string> seen;
    std::size_t bytes = vex::util::kPackedCountSize;
    for (const std::string &n : names) {
        if (n.empty() || n.size() > vex::util::kPackedMaxTextChars)
            return "a subsystem name must have 1 to " + std::to_string(vex::util::kPackedMaxTextChars) +
                   " characters";
        if (!seen.insert(n).second) return "subsystem " + n + " is named twice";
        bytes += vex::util::PackedEntrySize(n.size());
    }
    if (names.size() > vex::util::kPackedMaxOrders || bytes > vex::util::kPackedAreaSize)
        return "the subsystem list does not fit a reply";
    return {};
}

} // namespace

int ParseOptions(int argc, char **argv, Options *options, std::string *error) {
    ServiceConfig &cfg = options->service;
    CLI::App app{"tidewell-taskd: the Kestrane Tidewell task service. It serves the pipe "
                 "\\\\.\\pipe\\ZEPTAR_<suffix>_TSK_REQ, runs the database program and the registered tasks, "
                 "and answers browse requests on \\\\.\\mailslot\\Tidewell\\Browse.",
                 "tidewell-taskd"};
    app.set_version_flag("--version", std::string("tidewell-taskd ") + kServiceVersion);
    app.set_config("--config", "",
                   "Read options from FILE (TOML: one key = value line per option, the key being the long option "
                   "without its dashes, lists in brackets). The command line wins over the file; SIGHUP reads it "
                   "again.");
    // A misspelt key is an error, not a silently ignored setting.
    app.allow_config_extras(CLI::config_extras_mode::error);
    app.add_option("--suffix", cfg.suffix,
                   "Service suffix: tells this instance apart from others on the node (pipe "
                   "ZEPTAR_<suffix>_TSK_REQ). Empty by default.");
    app.add_option("--state-dir", cfg.state_dir,
                   "Folder of the state file and the group configurations; created when missing. Default: a "
                   "folder per suffix under the user's state folder.");
    app.add_option("--database-command", cfg.database_command,
                   "Command line of the database program, run while the database is started. Without it the "
                   "database has state only.");
    int lease = 300;
    app.add_option("--lock-lease", lease,
                   "Seconds the exclusive lock lasts without a request carrying its token.")
        ->check(CLI::Range(1, 86400))
        ->capture_default_str();
    double grace = 5.0;
    app.add_option("--stop-grace", grace,
                   "Seconds a stopping task has between the request to end and being killed.")
        ->check(CLI::Range(0.0, 600.0))
        ->capture_default_str();
    std::uint64_t log_kib = cfg.task_log_limit / 1024;
    app.add_option("--task-log-limit", log_kib,
                   "KiB a child's log file (logs/ in the state folder) may reach before it is rotated; one older "
                   "file is kept. Linux only.")
        ->check(CLI::Range(std::uint64_t{4}, std::uint64_t{1} << 20))
        ->capture_default_str();
    app.add_option("--allow-user", options->allow_users,
                   "A user (name or number) who may send requests besides the service's own user and root; "
                   "may be given several times. Linux only.");
    std::string level = "info";
    app.add_option("--log-level", level, "What the log on stderr shows: error, warning, info (one line per "
                                         "request) or debug.")
        ->check(CLI::IsMember({"error", "warning", "info", "debug"}))
        ->capture_default_str();
    app.add_option("--subsystem", cfg.subsystems,
                   "A subsystem of the database, for the subsystem list and the subsystem stop; may be given "
                   "several times.");
    std::vector<std::uint32_t> permissions;
    app.add_option("--permissions", permissions,
                   "The two permission words that the permission request answers (numbers, 0x for hexadecimal). "
                   "Default: 0xFFFFFFFF 0xFFFFFFFF.")
        ->expected(2);
    std::string version = "1.0.0";
    app.add_option("--db-version", version, "The database version the version request answers, as A.B.C.")
        ->capture_default_str();
    app.add_option("--db-version-text", cfg.db_version_text, "The version text the version request answers.")
        ->capture_default_str();
    ServerLimits &limits = options->server;
    app.add_option("--workers", limits.workers,
                   "Requests carried out at the same time. Requests that wait long (a task stop's grace) get "
                   "threads beside these.")
        ->check(CLI::Range(1, 64))
        ->capture_default_str();
    double request_timeout = 5.0;
    app.add_option("--request-timeout", request_timeout,
                   "Seconds a caller has to send its whole request once connected, and again to take its reply; "
                   "then it is dropped. Linux only.")
        ->check(CLI::Range(0.1, 3600.0))
        ->capture_default_str();
    app.add_option("--max-connections", limits.max_connections,
                   "Connections held at once; more are answered 231 \"All pipe instances are busy.\" and closed. "
                   "Lowered to fit the descriptor limit. Linux only.")
        ->check(CLI::Range(1, 1000000))
        ->capture_default_str();
    app.add_option("--max-connections-per-user", limits.max_connections_per_peer,
                   "Connections one user holds at once; more are answered as over --max-connections. Linux only.")
        ->check(CLI::Range(1, 1000000))
        ->capture_default_str();
    app.add_option("--log-file", options->log_file,
                   "Append the log to this file instead of stderr; SIGHUP opens it anew (after a rotation).");
    bool no_browse = false;
    app.add_flag("--no-browse", no_browse, "Do not answer browse requests.");
#if !defined(_WIN32)
    NetConfig &net = options->net;
    app.add_option("--listen", net.listen,
                   "Serve other nodes on ADDRESS[:PORT] (IPv4, IPv6, [IPv6]:PORT; port 7470 by default) over TLS "
                   "1.3 with client certificates; may be given several times. Needs --tls-cert, --tls-key and "
                   "--tls-client-ca.");
    app.add_option("--tls-cert", net.cert_file, "The service's certificate (PEM, with its chain).");
    app.add_option("--tls-key", net.key_file, "The private key of --tls-cert (PEM).");
    app.add_option("--tls-client-ca", net.client_ca_file,
                   "The CA (PEM) that signs the certificates of clients; no other client is admitted.");
    app.add_option("--allow-client", net.allow_clients,
                   "Admit only clients whose certificate names NAME (subject CN or a DNS name); may be given "
                   "several times. Without it every certificate of --tls-client-ca is admitted.");
    app.add_option("--max-per-address", limits.max_connections_per_address,
                   "Network connections at once from one peer address; more are turned away as over "
                   "--max-connections.")
        ->check(CLI::Range(1, 1024))
        ->capture_default_str();
    bool browse_udp = false, no_browse_udp = false;
    auto *udp_on = app.add_flag("--browse-udp", browse_udp,
                                "Answer browse requests from other nodes too, by UDP on port 7471 (or "
                                "VEXSRV_BROWSE_PORT); rate-limited per source, unauthenticated (docs/discovery.md).");
    app.add_flag("--no-browse-udp", no_browse_udp, "Do not answer browse requests from other nodes.")
        ->excludes(udp_on);
#endif

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForVersion &e) {
        std::printf("%s\n", e.what());
        return 0;
    } catch (const CLI::ParseError &e) {
        if (error != nullptr) {
            *error = e.what();
            return 2;
        }
        // Help ends well; every other complaint is a bad command line.
        return app.exit(e) == 0 ? 0 : 2;
    }

    auto bad = [error](const std::string &why) {
        if (error != nullptr) {
            *error = why;
        } else {
            std::fprintf(stderr, "tidewell-taskd: %s\n", why.c_str());
        }
        return 2;
    };
    // A caller names the pipe with node "." and the suffix in the 488
    // characters a pipe name holds; a long suffix makes too long a folder name.
    if (cfg.suffix.size() > 487 || cfg.suffix.find_first_of("\\/") != std::string::npos)
        return bad("--suffix takes at most 487 characters and no separators");
    if (cfg.suffix.size() > 63 && cfg.state_dir.empty())
        return bad("--suffix longer than 63 characters needs --state-dir");
    if (!ParseVersion(version, &cfg.db_version)) return bad("--db-version takes A.B.C, for example 1.0.0");
    if (auto why = CheckSubsystems(cfg.subsystems); !why.empty()) return bad("--subsystem: " + why);
    if (!permissions.empty()) cfg.permissions = {permissions[0], permissions[1]};
#if !defined(_WIN32)
    if (!net.listen.empty() && (net.cert_file.empty() || net.key_file.empty() || net.client_ca_file.empty()))
        return bad("--listen needs --tls-cert, --tls-key and --tls-client-ca");
    if (net.listen.empty() &&
        (!net.cert_file.empty() || !net.key_file.empty() || !net.client_ca_file.empty() || !net.allow_clients.empty()))
        return bad("--tls-cert, --tls-key, --tls-client-ca and --allow-client take effect only with --listen");
    for (const std::string &address : net.listen) {
        std::string host;
        std::uint16_t port = 0;
        if (!ParseListenAddress(address, &host, &port))
            return bad("--listen " + address + ": not ADDRESS[:PORT] (for IPv6 with a port: [ADDRESS]:PORT)");
    }
#endif
    if (cfg.state_dir.empty()) cfg.state_dir = os::DefaultStateDir(cfg.suffix);
    cfg.lock_lease = std::chrono::seconds(lease);
    cfg.stop_grace = std::chrono::milliseconds(static_cast<long long>(grace * 1000));
    limits.request_timeout = std::chrono::milliseconds(static_cast<long long>(request_timeout * 1000));
    cfg.task_log_limit = log_kib * 1024;
    options->log_level = *log::ParseLevel(level);
    options->browse = !no_browse;
#if !defined(_WIN32)
    if (browse_udp) options->browse_udp = true;
    if (no_browse_udp) options->browse_udp = false;
#endif
    return -1;
}

} // namespace taskd
