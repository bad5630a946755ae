// tidewell-taskd: the reference task service. Loads its state, serves the
// pipe until SIGINT or SIGTERM (Ctrl-C on Windows), then finishes the
// requests in flight, stops the children it started and saves its state.
// SIGHUP reloads what can be reloaded (the log file).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

#include "platform/platform.h"
#include "service/browse_responder.h"
#include "service/lifecycle.h"
#if !defined(_WIN32)
#include "service/browse_udp.h"
#endif
#include "service/log.h"
#include "service/options.h"
#include "service/os.h"
#include "service/processes.h"
#include "service/reload.h"
#include "service/server.h"
#include "service/state_store.h"
#include "service/task_service.h"
#include "transport/transaction.h"

namespace {

// The service's own user and root always; the users of --allow-user besides.
bool BuildAccessPolicy(const taskd::Options &options, taskd::AccessPolicy *access) {
    const auto self = taskd::os::CurrentUserId();
    if (!self) return true; // the platform names no users: nothing to check
    access->check_users = true;
    access->allowed_users = {*self, 0};
    for (const std::string &user : options.allow_users) {
        const auto id = taskd::os::LookupUserId(user);
        if (!id) {
            taskd::log::Error("--allow-user: no user " + user + " on this node");
            return false;
        }
        access->allowed_users.push_back(*id);
    }
    return true;
}

// The computer name as browse answers and callers know it.
std::string ComputerName() {
    char name[64] = {};
    std::uint32_t size = sizeof name;
    if (vex::platform::ComputerName(name, &size) != vex::platform::kErrorSuccess) return taskd::os::NodeName();
    return std::string(name, size);
}

// What a reload request (SIGHUP; on Windows the manager's parameter change)
// does: opens the log file anew, so that a rotated log goes on in a new
// file, then reads the command line and the configuration file again.
// Returns the status line for the supervisor.
std::string OnReload(int argc, char **argv, taskd::Options *options, taskd::TaskService &svc) {
    const auto reopen_log = [&options] {
        if (options->log_file.empty()) return;
        if (std::string why = taskd::os::RedirectLogTo(options->log_file); !why.empty()) {
            taskd::log::Error("reload requested (SIGHUP): the log file stays as it was: " + why);
            return;
        }
        taskd::lifecycle::DetectJournal();
        taskd::log::Info("reload requested (SIGHUP): log file " + options->log_file + " opened anew");
    };
    reopen_log();
    const std::string old_log_file = options->log_file;
    std::string status = taskd::Reload(argc, argv, options, svc);
    if (options->log_file != old_log_file) reopen_log();
    return status;
}

int RunTaskd(int argc, char **argv) {
    taskd::Options options;
    if (const int rc = taskd::ParseOptions(argc, argv, &options); rc >= 0) return rc;
    taskd::log::SetLevel(options.log_level);
    if (!options.log_file.empty()) {
        if (std::string why = taskd::os::RedirectLogTo(options.log_file); !why.empty()) {
            taskd::log::Error("--log-file: " + why);
            return 2;
        }
        taskd::lifecycle::DetectJournal();
    }
    options.service.node_name = taskd::os::NodeName();

    taskd::AccessPolicy access;
    if (!BuildAccessPolicy(options, &access)) return 2;
    // Before any thread starts, so that every thread leaves the signals to it.
    taskd::os::InstallShutdownHandler();
    // What a task's children leave behind comes to the service to be reaped.
    if (std::string why = taskd::BecomeSubreaper(); !why.empty()) taskd::log::Warning(why);

    taskd::StateStore store(options.service.state_dir);
    taskd::PersistentState state;
    if (std::string why = store.Open(&state); !why.empty()) {
        taskd::log::Error("cannot start: " + why);
        return 1;
    }
    taskd::log::Info("state loaded from " + store.path() + ": " + std::to_string(state.tasks.size()) +
                     " registered task(s)");
    const bool boot_start = state.boot_start;
    taskd::TaskService svc(options.service, std::move(state),
                           [&store](const taskd::PersistentState &s) { return store.Save(s); });

    taskd::Server server(svc, access, options.server);
    const std::string pipe = taskd::PipeNameFor(options.service.suffix);
#if !defined(_WIN32)
    // Network callers are admitted by their certificate; the request core
    // checks no user of theirs.
    std::string listening;
    if (!options.net.listen.empty()) {
        std::vector<std::unique_ptr<taskd::Listener>> net;
        if (std::string why = taskd::ListenNetwork(options.net, pipe, &net); !why.empty()) {
            taskd::log::Error("cannot start: " + why);
            return 1;
        }
        for (auto &listener : net) {
            listening += ", " + listener->Describe();
            server.Serve(std::move(listener), taskd::AccessPolicy{});
        }
        listening = "; listening on " + listening.substr(2) + " (TLS)";
    }
#else
    const std::string listening;
#endif
    {
        // Requests wait until a start at boot is over, so the first answer
        // already sees the database as the boot flag wants it.
        std::lock_guard<std::mutex> lock(svc.mutex());
        if (std::string why = server.Start(pipe); !why.empty()) {
            taskd::log::Error("cannot start: " + why);
            return 1;
        }
        if (boot_start) taskd::log::Info("start at boot: " + svc.StartDatabase(false).text);
    }
    const taskd::BrowseIdentity identity{ComputerName(), std::string(vex::kDisplayName) + options.service.suffix,
                                         taskd::kServiceVersion};
    taskd::BrowseResponder browse(identity);
    if (options.browse) browse.Start();
#if !defined(_WIN32)
    taskd::UdpBrowseResponder browse_udp(identity);
    // A service that listens on the network is found there too, unless told not to be.
    if (options.browse && options.browse_udp.value_or(!options.net.listen.empty())) browse_udp.Start();
#endif
    taskd::log::Info("ready: serving \\\\.\\pipe\\" + pipe + " (process " +
                     std::to_string(taskd::os::CurrentProcessId()) + ")" + listening);
    taskd::lifecycle::Ready("serving pipe " + pipe);

    while (!taskd::os::WaitForShutdown(std::chrono::seconds(1))) {
        if (taskd::os::TakeReloadRequest() || taskd::lifecycle::TakeReloadRequest()) {
            taskd::lifecycle::Reloading();
            taskd::lifecycle::Reloaded(OnReload(argc, argv, &options, svc));
        }
        std::lock_guard<std::mutex> lock(svc.mutex());
        svc.Housekeeping(taskd::TaskService::Clock::now());
    }

    taskd::lifecycle::Stopping();
    taskd::log::Info("shutting down: finishing the requests in flight");
    browse.Stop();
#if !defined(_WIN32)
    browse_udp.Stop();
#endif
    server.Stop();
    {
        std::lock_guard<std::mutex> lock(svc.mutex());
        svc.Shutdown();
    }
    taskd::log::Info("stopped");
    return 0;
}

} // namespace

int main(int argc, char **argv) { return taskd::lifecycle::Run(argc, argv, RunTaskd); }
