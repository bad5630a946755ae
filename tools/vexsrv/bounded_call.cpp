#include "tools/vexsrv/bounded_call.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
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

// The one progress line on stderr: rewritten in place, cleared at the end.
class ProgressLine {
  public:
    explicit ProgressLine(std::string_view operation) : operation_(operation) {}
    void Show(int seconds) {
        const std::lock_guard<std::mutex> hold(OutputLock());
        std::string line = "vexsrv " + operation_ + ": waiting for the outcome... " + std::to_string(seconds) + " s";
        const std::size_t width = line.size();
        if (line.size() < width_) line.append(width_ - line.size(), ' ');
        width_ = std::max(width_, width);
        std::cerr << '\r' << line << std::flush;
    }
    void Clear() {
        if (width_ == 0) return;
        const std::lock_guard<std::mutex> hold(OutputLock());
        std::cerr << '\r' << std::string(width_, ' ') << '\r' << std::flush;
        width_ = 0;
    }

  private:
    std::string operation_;
    std::size_t width_ = 0; // 0: nothing shown
};

} // namespace

Report RunBounded(double limit_seconds, const std::function<Report()> &call, std::string_view operation, bool json,
                  bool progress) {
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

    ProgressLine line(operation);
    std::unique_lock<std::mutex> hold(handoff->mu);
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::duration<double>(limit_seconds));
    // Wake once a second to renew the progress line, and at the deadline.
    int shown = 0;
    while (!handoff->done) {
        const auto next = std::min(deadline, start + std::chrono::seconds(shown + 1));
        handoff->done_cv.wait_until(hold, next, [&] { return handoff->done; });
        if (handoff->done) break;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            hold.unlock();
            line.Clear();
            Report rep = ToolReport(kExitTimedOut,
                                    "no outcome within " + Seconds(limit_seconds) +
                                        " s (--timeout); the call was abandoned and its outcome "
                                        "on the service is unknown",
                                    Origin::Timeout);
            Print(rep, operation, json);
            std::fflush(stdout);
            std::fflush(stderr);
            // The worker is still inside the library and cannot be stopped:
            // end the process without running destructors under its feet.
            std::_Exit(kExitTimedOut);
        }
        if (now >= start + std::chrono::seconds(shown + 1)) {
            shown = static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(now - start).count());
            if (progress && !json) {
                hold.unlock();
                line.Show(shown);
                hold.lock();
            }
        }
    }
    Report rep = std::move(handoff->report);
    hold.unlock();
    line.Clear();
    worker.join();
    return rep;
}

} // namespace vexsrv::tool
