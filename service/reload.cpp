#include "service/reload.h"

#include <mutex>

#include "service/log.h"

namespace taskd {

void TaskService::ApplyReloadable(const ServiceConfig &next) {
    config_.database_command = next.database_command;
    config_.stop_grace = next.stop_grace;
    config_.task_log_limit = next.task_log_limit;
    config_.permissions = next.permissions;
    config_.db_version = next.db_version;
    config_.db_version_text = next.db_version_text;
}

std::string Reload(int argc, char **argv, Options *current, TaskService &svc) {
    Options next;
    std::string why;
    if (ParseOptions(argc, argv, &next, &why) >= 0) {
        log::Error("reload: the configuration does not read, nothing changed: " + why);
        return "configuration not reloaded: " + why;
    }
    // What only a new start can change: the pipe, the state folder, the
    // server's threads and limits, the network listeners, the browse
    // answerer, the callers' check, the lock and the subsystem lists that the
    // running state was built from.
    const ServiceConfig &now = current->service;
    const ServiceConfig &want = next.service;
    const ServerLimits &limits = current->server;
    const ServerLimits &wanted_limits = next.server;
    const std::pair<const char *, bool> fixed[] = {
        {"suffix", want.suffix != now.suffix},
        {"state-dir", want.state_dir != now.state_dir},
        {"workers", wanted_limits.workers != limits.workers},
        {"request-timeout", wanted_limits.request_timeout != limits.request_timeout},
        {"max-connections", wanted_limits.max_connections != limits.max_connections},
        {"max-connections-per-user", wanted_limits.max_connections_per_peer != limits.max_connections_per_peer},
        {"max-per-address", wanted_limits.max_connections_per_address != limits.max_connections_per_address},
        {"no-browse", next.browse != current->browse},
        {"allow-user", next.allow_users != current->allow_users},
        {"lock-lease", want.lock_lease != now.lock_lease},
        {"subsystem", want.subsystems != now.subsystems},
        // Back to stderr needs a start: stderr is the log file by now.
        {"log-file", next.log_file.empty() && !current->log_file.empty()},
#if !defined(_WIN32)
        {"listen", next.net.listen != current->net.listen},
        {"tls-cert", next.net.cert_file != current->net.cert_file},
        {"tls-key", next.net.key_file != current->net.key_file},
        {"tls-client-ca", next.net.client_ca_file != current->net.client_ca_file},
        {"allow-client", next.net.allow_clients != current->net.allow_clients},
        {"browse-udp", next.browse_udp != current->browse_udp},
#endif
    };
    for (const auto &[name, changed] : fixed)
        if (changed) log::Warning(std::string("reload: ") + name + " changed; it takes effect at the next start");

    if (!next.log_file.empty()) current->log_file = next.log_file;
    log::SetLevel(next.log_level);
    current->log_level = next.log_level;
    {
        std::lock_guard<std::mutex> lock(svc.mutex());
        svc.ApplyReloadable(want);
    }
    current->service.database_command = want.database_command;
    current->service.stop_grace = want.stop_grace;
    current->service.task_log_limit = want.task_log_limit;
    current->service.permissions = want.permissions;
    current->service.db_version = want.db_version;
    current->service.db_version_text = want.db_version_text;
    log::Info("reload: configuration read again");
    return "configuration reloaded";
}

} // namespace taskd
