#include "tools/vexsrv/bounded_call.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

namespace vexsrv::tool {
namespace {

// Shared by the main thread and the worker; the worker may outlive the wait.
struct Handoff {
    std::mutex mu;
    std::condition_variable done_cv;
    bool done = false;
    Report report;
};

std::string Seconds(double s) {
    std::ostringstream out;
    out << s;
    return out.str();
}

} // namespace

Report RunBounded(double limit_seconds, const std::function<Report()> &call, std::string_view operation, bool json) {
    auto handoff = std::make_shared<Handoff>();
    std::thread worker([handoff, call] {
        Report rep;
        try {
            rep = call();
        } catch (const std::exception &e) {
            rep = ToolReport(kExitUsage, std::string("the call failed: ") + e.what());
        }
        const std::lock_guard<std::mutex> hold(handoff->mu);
        handoff->report = std::move(rep);
        handoff->done = true;
        handoff->done_cv.notify_all();
    });

    std::unique_lock<std::mutex> hold(handoff->mu);
    const auto limit = std::chrono::duration<double>(limit_seconds);
    if (!handoff->done_cv.wait_for(hold, limit, [&] { return handoff->done; })) {
        Report rep = ToolReport(kExitTimedOut, "no outcome within " + Seconds(limit_seconds) +
                                                   " s (--timeout); the call was abandoned and its outcome "
                                                   "on the service is unknown");
        Print(rep, operation, json);
        std::fflush(stdout);
        std::fflush(stderr);
        // The worker is still inside the library and cannot be stopped: end
        // the process without running destructors under its feet.
        std::_Exit(kExitTimedOut);
    }
    Report rep = std::move(handoff->report);
    hold.unlock();
    worker.join();
    return rep;
}

} // namespace vexsrv::tool
