// Figures of the service under a hostile local load (Linux, root): how long a
// permitted caller waits while a refused user holds 1,000 connections and a
// permitted one 64 silent ones, and how long a status call waits while a
// stop with 30 s of grace is under way. Printed, not asserted: see
// docs/reliability.md.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "tests/service/hostile_peers.h"
#include "tests/service/taskd_process.h"
#include "tests/service/test_files.h"

namespace taskd::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Figures {
    double median_ms = 0, p90_ms = 0, max_ms = 0;
    int failed = 0;
};

// calls status calls, pause apart; how long each took.
Figures TimeStatusCalls(const std::string &suffix, int calls, std::chrono::milliseconds pause = 0ms) {
    std::vector<double> ms;
    Figures f;
    for (int i = 0; i < calls; ++i) {
        std::int32_t value = 0, status = -1;
        char message[256] = {};
        const auto t0 = Clock::now();
        const std::int32_t ok =
            VexSrv_GetTidewellStatus(".", suffix.c_str(), &value, &status, message, sizeof message);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (ok != 1 || status != 0) ++f.failed;
        std::this_thread::sleep_for(pause);
    }
    std::sort(ms.begin(), ms.end());
    f.median_ms = ms[ms.size() / 2];
    f.p90_ms = ms[ms.size() * 9 / 10];
    f.max_ms = ms.back();
    return f;
}

void Print(const char *what, const Figures &f, int calls) {
    std::printf("[figures] %s: %d status calls, median %.3f ms, p90 %.3f ms, max %.3f ms, %d failed\n", what, calls,
                f.median_ms, f.p90_ms, f.max_ms, f.failed);
    std::fflush(stdout);
}

TEST(Hostile, PermittedCallerWhileStrangersHoldAThousandAndACallerSixtyFourSilentConnections) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a refused user";
    // Silent permitted connections may wait a minute: longer than the test.
    TaskdProcess svc({"--no-browse", "--request-timeout", "60"});
    ASSERT_TRUE(svc.ready()) << svc.log();
    constexpr int kCalls = 200;
    Print("no other connections", TimeStatusCalls(svc.suffix(), kCalls), kCalls);

    StrangerConnections strangers(svc.suffix(), 1000);
    ASSERT_TRUE(strangers.ok());
    SilentConnections silent(svc.suffix(), 64);
    std::printf("[figures] refused user: %d connections made, its own call answered status %d \"%s\"; "
                "permitted user: %d silent connections held\n",
                strangers.report().connected, strangers.report().status, strangers.report().message,
                silent.size());
    const Figures held = TimeStatusCalls(svc.suffix(), kCalls);
    Print("1000 refused + 64 permitted silent connections held", held, kCalls);
    EXPECT_EQ(held.failed, 0);
    EXPECT_EQ(silent.StillOpenCount(), 64);
    EXPECT_EQ(svc.Stop(), 0);
}

TEST(Hostile, StatusDuringAStopWithThirtySecondsOfGrace) {
    TaskdProcess svc({"--no-browse"});
    ASSERT_TRUE(svc.ready()) << svc.log();
    const std::string dir = NewTempDir("deaf");
    const std::string deaf = dir + "/deaf";
    TaskDefinition5 task{};
    std::snprintf(task.task_name, sizeof task.task_name, "DEAF");
    std::snprintf(task.command_line, sizeof task.command_line, "%s stubborn %s 120", ChildHelper().c_str(),
                  deaf.c_str());
    task.position = -1;
    std::int32_t value = 0, status = 0;
    char message[256] = {};
    ASSERT_EQ(VexSrv_AddTaskToList5(".", svc.suffix().c_str(), &task, &value, &status, message, sizeof message), 1);
    ASSERT_EQ(VexSrv_StartTaskByName(0, ".", svc.suffix().c_str(), "DEAF", 0, &value, &status, message,
                                     sizeof message),
              1)
        << message;
    const auto pid = static_cast<pid_t>(value);
    for (int i = 0; i < 500 && !std::filesystem::exists(deaf); ++i) std::this_thread::sleep_for(10ms);

    std::atomic<bool> stopped{false};
    std::int32_t stop_ok = 0;
    const auto stop_began = Clock::now();
    std::thread stopper([&] {
        std::int32_t v = 0, st = 0;
        char m[256] = {};
        stop_ok = VexSrv_StopTask(0, ".", svc.suffix().c_str(), "DEAF", 30, &v, &st, m, sizeof m);
        stopped = true;
    });
    for (int i = 0; i < 500 && svc.log().find("'DEAF' is stopping") == std::string::npos; ++i)
        std::this_thread::sleep_for(10ms);
    constexpr int kCalls = 200;
    // Spread over two seconds of the stop's grace.
    const Figures during = TimeStatusCalls(svc.suffix(), kCalls, 10ms);
    const bool stop_still_waiting = !stopped.load();
    Print("during a stop with 30 s of grace", during, kCalls);
    std::printf("[figures] the stop was still waiting after the calls: %s (%.1f s into it)\n",
                stop_still_waiting ? "yes" : "no",
                std::chrono::duration<double>(Clock::now() - stop_began).count());
    EXPECT_TRUE(stop_still_waiting);
    EXPECT_EQ(during.failed, 0);
    // The task is deaf: end it here rather than wait out the grace.
    ::kill(-pid, SIGKILL);
    stopper.join();
    EXPECT_EQ(stop_ok, 1);
    EXPECT_EQ(svc.Stop(), 0);
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace taskd::test

#endif
