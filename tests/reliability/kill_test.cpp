// The reference service killed (SIGKILL) in the middle of exchanges: under
// load from eight client threads, and while one client waits on a long
// request. Every client gets an error code and goes on; none hangs, none
// crashes, none takes another call's answer. A service started again on the
// same state folder still holds what was registered before the kill, and
// every edit that was acknowledged, also when eight clients edit at once.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <signal.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/reliability/mixed_calls.h"
#include "tests/service/taskd_process.h"
#include "tests/service/test_files.h"

namespace vex::test {
namespace {

using Clock = std::chrono::steady_clock;

// Waits until done reaches n. A call that never returns is the very fault
// under test and cannot be cancelled: past the deadline the program ends.
void AwaitOrEnd(const std::atomic<int> &done, int n, double seconds, const char *what) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (done.load() < n) {
        if (Clock::now() > deadline) {
            std::fprintf(stderr, "FATAL: %s: %d of %d clients still blocked after %.0f s\n", what, n - done.load(), n,
                         seconds);
            std::fflush(stderr);
            std::_Exit(3);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

TEST(Kill, ServiceKilledUnderLoadLeavesEveryClientWithAnErrorCode) {
    constexpr int kThreads = 8;
    constexpr int kCallsAfterKill = 20;
    taskd::test::TaskdProcess svc(ServiceArguments());
    ASSERT_TRUE(svc.ready()) << svc.log();

    std::atomic<bool> killed{false};
    std::atomic<long> before{0}, cut{0}, no_service{0}, after{0}, after_ok{0}, crossed{0};
    std::atomic<int> done{0};
    std::mutex mu;
    std::map<std::int32_t, int> codes; // of the failed calls, by status
    std::vector<std::string> details;
    std::vector<std::thread> clients;
    for (int t = 0; t < kThreads; ++t)
        clients.emplace_back([&, t] {
            int after_kill = 0;
            for (int i = 0; after_kill < kCallsAfterKill; ++i) {
                const bool started_after_kill = killed.load();
                const CallResult r = MixedCall(svc.suffix(), i + t, t * 100000 + i);
                if (r.outcome != CallOutcome::Matched) {
                    std::lock_guard<std::mutex> lock(mu);
                    ++codes[r.status];
                    if (r.outcome == CallOutcome::Crossed && details.size() < 10) details.push_back(r.detail);
                }
                if (r.outcome == CallOutcome::Crossed) ++crossed;
                if (started_after_kill) {
                    ++after_kill;
                    ++after;
                    if (r.outcome != CallOutcome::Lost || r.status == 0) ++after_ok;
                } else if (r.outcome == CallOutcome::Lost) {
                    // Between the kill and the flag: refused (2), or cut in flight.
                    ++(r.status == 2 ? no_service : cut);
                } else {
                    ++before;
                }
            }
            ++done;
        });
    // Kill once every client is well into its calls.
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (before.load() < kThreads * 50 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GE(before.load(), kThreads * 50) << svc.log();
    svc.Kill();
    killed = true;
    AwaitOrEnd(done, kThreads, 60.0, "service killed under load");
    for (auto &c : clients) c.join();

    std::string seen;
    for (const auto &[code, n] : codes) {
        seen += ' ';
        seen += std::to_string(code);
        seen += 'x';
        seen += std::to_string(n);
    }
    std::printf("kill under load: %ld answered, %ld cut in flight, %ld refused before the kill was noted, %ld "
                "after it; failure codes (code x count):%s\n",
                before.load(), cut.load(), no_service.load(), after.load(), seen.c_str());
    EXPECT_EQ(crossed.load(), 0);
    for (const auto &d : details) ADD_FAILURE() << d;
    EXPECT_EQ(after.load(), kThreads * kCallsAfterKill);
    EXPECT_EQ(after_ok.load(), 0) << "a call after the kill did not fail with an error code";
    EXPECT_EQ(codes.count(0), 0u);
}

// The registered task names, in list order.
std::vector<std::string> TaskNames(const std::string &suffix) {
    std::int32_t value = 0, status = 0;
    CStringArray *list = nullptr;
    VexSrv_GetTaskList(0, ".", suffix.c_str(), &value, &status, 0, &list, nullptr, 0);
    std::vector<std::string> names;
    for (std::int32_t i = 0; list != nullptr && i < list->GetSize(); ++i) names.emplace_back(list->GetAt(i).GetString());
    VexSrv_FreeCStringArray(list);
    return names;
}

// Eight clients add tasks at once, and each removes its oldest past a window,
// so that the service writes many shared batches; it is killed meanwhile.
// Started again, it holds every task whose addition was acknowledged and
// none whose removal was; only the edit each client had in flight may have
// gone either way.
TEST(Kill, EveryAcknowledgedEditSurvivesAKillDuringConcurrentEdits) {
    constexpr int kThreads = 8;
    constexpr std::size_t kWindow = 12; // tasks a client keeps: 8 x 13 fit the list
    taskd::test::TaskdProcess svc(ServiceArguments());
    ASSERT_TRUE(svc.ready()) << svc.log();

    struct Client {
        std::deque<std::string> live;  // added and acknowledged, not removed
        std::set<std::string> removed; // removal acknowledged
        std::string in_flight;         // the edit the kill cut: either way
        std::string failure;           // how its last call failed
    };
    std::vector<Client> state(kThreads);
    std::atomic<long> acknowledged{0};
    std::atomic<int> done{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < kThreads; ++t)
        clients.emplace_back([&, t] {
            Client &c = state[static_cast<std::size_t>(t)];
            for (int i = 0;; ++i) {
                std::int32_t value = 0, status = 0;
                char msg[256] = {};
                const bool removal = c.live.size() > kWindow;
                TaskDefinition2 task;
                std::memset(&task, 0, sizeof task);
                std::snprintf(task.task_name, sizeof task.task_name, "K%d_%d", t, i);
                if (removal) std::snprintf(task.task_name, sizeof task.task_name, "%s", c.live.front().c_str());
                std::snprintf(task.command_line, sizeof task.command_line, "/bin/true");
                task.position = -1;
                c.in_flight = task.task_name;
                int ok;
                if (removal) {
                    TaskDefinition1 gone;
                    std::memset(&gone, 0, sizeof gone);
                    std::memcpy(gone.task_name, task.task_name, sizeof gone.task_name);
                    ok = VexSrv_RemoveTaskFromList(".", svc.suffix().c_str(), &gone, &value, &status, msg, sizeof msg);
                } else {
                    ok = VexSrv_AddTaskToList2(".", svc.suffix().c_str(), &task, &value, &status, msg, sizeof msg);
                }
                if (ok != 1) {
                    c.failure = std::to_string(status) + " " + msg;
                    break;
                }
                if (removal) {
                    c.removed.insert(c.live.front());
                    c.live.pop_front();
                } else {
                    c.live.push_back(task.task_name);
                }
                ++acknowledged;
            }
            ++done;
        });
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (acknowledged.load() < kThreads * 40 && done.load() == 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const long at_kill = acknowledged.load();
    svc.Kill();
    AwaitOrEnd(done, kThreads, 60.0, "service killed during concurrent edits");
    for (auto &c : clients) c.join();
    ASSERT_GE(at_kill, kThreads * 40) << "an edit failed before the kill: " << state[0].failure << svc.log();

    const std::string folder = svc.ReleaseStateDir();
    {
        taskd::test::TaskdProcess again(ServiceArguments(), folder);
        ASSERT_TRUE(again.ready()) << again.log();
        const std::vector<std::string> names = TaskNames(again.suffix());
        const std::set<std::string> listed(names.begin(), names.end());
        std::size_t expected = 0;
        for (const Client &c : state) {
            // A removal the kill cut may have gone either way: its task is
            // still the oldest of live.
            for (const std::string &n : c.live)
                if (n != c.in_flight) {
                    EXPECT_EQ(listed.count(n), 1u) << "acknowledged addition lost: " << n;
                }
            for (const std::string &n : c.removed) EXPECT_EQ(listed.count(n), 0u) << "acknowledged removal lost: " << n;
            expected += c.live.size();
        }
        for (const std::string &n : names) {
            bool known = false;
            for (const Client &c : state)
                known = known || n == c.in_flight || std::find(c.live.begin(), c.live.end(), n) != c.live.end();
            EXPECT_TRUE(known) << "a task nobody added: " << n;
        }
        std::printf("kill during concurrent edits: %ld edits acknowledged before the kill, %zu tasks kept, %zu "
                    "listed after the restart\n",
                    acknowledged.load(), expected, names.size());
        EXPECT_EQ(again.Stop(), 0) << again.log();
    }
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
}

// POSIX: the task outlives its service and is taken over by the next one.
#if !defined(_WIN32)
TEST(Kill, ServiceKilledDuringALongRequestAndStartedAgain) {
    taskd::test::TaskdProcess svc(ServiceArguments());
    ASSERT_TRUE(svc.ready()) << svc.log();
    const char *sfx = svc.suffix().c_str();

    // A task deaf to the request to end: stopping it with 20 s of grace keeps
    // its stop request in the service that long. It shows that it has become
    // deaf by creating a file.
    const std::string deaf = svc.state_dir() + "/deaf";
    TaskDefinition2 task;
    std::memset(&task, 0, sizeof task);
    std::strcpy(task.task_name, "STUBBORN");
    std::snprintf(task.command_line, sizeof task.command_line, "%s stubborn %s 60",
                  taskd::test::ChildHelper().c_str(), deaf.c_str());
    task.position = -1;
    std::int32_t value = 0, status = 0;
    char msg[256] = {};
    ASSERT_EQ(VexSrv_AddTaskToList2(".", sfx, &task, &value, &status, msg, sizeof msg), 1) << msg;
    ASSERT_EQ(VexSrv_StartTaskByName(0, ".", sfx, "STUBBORN", 0, &value, &status, msg, sizeof msg), 1) << msg;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (!std::filesystem::exists(deaf) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(std::filesystem::exists(deaf)) << svc.log();
    // Its process id, from the refusal of a second start.
    VexSrv_StartTaskByName(0, ".", sfx, "STUBBORN", 0, &value, &status, msg, sizeof msg);
    const char *at = std::strstr(msg, "(process ");
    const int task_pid = at != nullptr ? std::atoi(at + 9) : 0;

    std::atomic<int> done{0};
    std::int32_t stop_value = INT32_MIN, stop_status = INT32_MIN, stop_result = -1;
    char stop_msg[256] = {};
    std::thread client([&] {
        stop_result = VexSrv_StopTask(0, ".", svc.suffix().c_str(), "STUBBORN", 20, &stop_value, &stop_status,
                                      stop_msg, sizeof stop_msg);
        ++done;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(done.load(), 0) << "the stop request ended before the kill: " << stop_msg;
    svc.Kill();
    AwaitOrEnd(done, 1, 20.0, "service killed during a long request");
    client.join();
    ASSERT_GT(task_pid, 1);
    EXPECT_TRUE(taskd::test::ProcessAlive(static_cast<std::uint32_t>(task_pid)));

    EXPECT_EQ(stop_result, 0);
    EXPECT_EQ(stop_value, INT32_MIN) << "a value without an answer";
    EXPECT_NE(stop_status, 0);
    EXPECT_NE(stop_status, INT32_MIN);
    EXPECT_STRNE(stop_msg, "");
    std::printf("stop request cut by the kill: status %d, \"%s\"\n", stop_status, stop_msg);

    // Started again on the same folder: the registration survived the kill,
    // and the task is taken over, not started a second time.
    const std::string folder = svc.ReleaseStateDir();
    {
        taskd::test::TaskdProcess again(ServiceArguments(), folder);
        ASSERT_TRUE(again.ready()) << again.log();
        const char *again_sfx = again.suffix().c_str();
        EXPECT_TRUE(ListHolds(again.suffix(), "STUBBORN"));
        EXPECT_EQ(MixedCall(again.suffix(), 4, 1).outcome, CallOutcome::Matched);
        ASSERT_EQ(VexSrv_CheckRunningList(".", again_sfx, &value, &status, msg, sizeof msg), 1) << msg;
        EXPECT_EQ(value, 1);
        EXPECT_EQ(VexSrv_StartTaskByName(0, ".", again_sfx, "STUBBORN", 0, &value, &status, msg, sizeof msg), 0);
        EXPECT_EQ(status, 170);
        EXPECT_EQ(std::string(msg), "Task 'STUBBORN' is already running (process " + std::to_string(task_pid) + ").");
        ASSERT_EQ(VexSrv_StopTask(0, ".", again_sfx, "STUBBORN", 1, &value, &status, msg, sizeof msg), 1) << msg;
        EXPECT_EQ(std::string(msg), "Task 'STUBBORN' did not end within 1000 ms and was killed.");
        EXPECT_FALSE(taskd::test::ProcessAlive(static_cast<std::uint32_t>(task_pid)));
        ASSERT_EQ(VexSrv_CheckRunningList(".", again_sfx, &value, &status, msg, sizeof msg), 1) << msg;
        EXPECT_EQ(value, 0);
        EXPECT_EQ(again.Stop(), 0) << again.log();
    }
    if (taskd::test::ProcessAlive(static_cast<std::uint32_t>(task_pid))) kill(-task_pid, SIGKILL);
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
}
#endif

} // namespace
} // namespace vex::test
