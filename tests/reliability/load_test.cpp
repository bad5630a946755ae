// Eight client threads, thousands of mixed operations against the reference
// service, every answer matched to its call. Between the calls each thread
// also registers a task of its own, finds it in the task list and removes it
// again, while the others do the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/reliability/mixed_calls.h"
#include "tests/service/taskd_process.h"

namespace vex::test {
namespace {

constexpr int kThreads = 8;
// Under Wine a call costs about ten times what it costs on Linux.
#if defined(_WIN32)
constexpr int kCallsPerThread = 300;
#else
constexpr int kCallsPerThread = 1500;
#endif
constexpr int kRegisterEvery = 100;

struct Tally {
    std::atomic<long> calls{0}, lost{0}, crossed{0};
    std::mutex mu;
    std::vector<std::string> details; // the first few failures
    void Note(const CallResult &r) {
        ++calls;
        if (r.outcome == CallOutcome::Matched) return;
        ++(r.outcome == CallOutcome::Lost ? lost : crossed);
        std::lock_guard<std::mutex> lock(mu);
        if (details.size() < 10) details.push_back(r.detail);
    }
};

// Registers name, sees it listed, removes it, sees it gone.
CallResult RegisterListRemove(const std::string &suffix, const std::string &name) {
    CallResult res;
    auto task = std::make_unique<TaskDefinition2>();
    std::memset(task.get(), 0, sizeof *task);
    std::strcpy(task->task_name, name.c_str());
    std::strcpy(task->command_line, "never-started");
    task->position = -1;
    std::int32_t value = INT32_MIN, status = INT32_MIN;
    char msg[256] = {};
    const char *sfx = suffix.c_str();
    if (VexSrv_AddTaskToList2(".", sfx, task.get(), &value, &status, msg, sizeof msg) != 1) {
        res.outcome = value == INT32_MIN ? CallOutcome::Lost : CallOutcome::Crossed;
        res.detail = "add " + name + ": status " + std::to_string(status) + ": " + msg;
        return res;
    }
    if (!ListHolds(suffix, name)) {
        res.outcome = CallOutcome::Crossed;
        res.detail = "task " + name + " missing from the list after its add";
        return res;
    }
    TaskDefinition1 remove;
    std::memset(&remove, 0, sizeof remove);
    std::strcpy(remove.task_name, name.c_str());
    if (VexSrv_RemoveTaskFromList(".", sfx, &remove, &value, &status, msg, sizeof msg) != 1 ||
        ListHolds(suffix, name)) {
        res.outcome = CallOutcome::Crossed;
        res.detail = "remove " + name + ": status " + std::to_string(status) + ": " + msg;
        return res;
    }
    res.outcome = CallOutcome::Matched;
    return res;
}

TEST(Load, EightClientsMixedOperationsEveryAnswerMatchesItsCall) {
    taskd::test::TaskdProcess svc(ServiceArguments());
    ASSERT_TRUE(svc.ready()) << svc.log();
    Tally tally;
    std::vector<std::thread> clients;
    for (int t = 0; t < kThreads; ++t)
        clients.emplace_back([&, t] {
            for (int i = 0; i < kCallsPerThread; ++i) {
                const std::int32_t token = t * 100000 + i;
                tally.Note(MixedCall(svc.suffix(), i + t, token));
                if (i % kRegisterEvery == kRegisterEvery - 1)
                    tally.Note(RegisterListRemove(svc.suffix(), Token('L', token)));
            }
        });
    for (auto &c : clients) c.join();

    std::printf("load: %ld calls from %d threads, %ld lost, %ld crossed\n", tally.calls.load(), kThreads,
                tally.lost.load(), tally.crossed.load());
    RecordProperty("calls", static_cast<int>(tally.calls.load()));
    EXPECT_EQ(tally.calls.load(), kThreads * (kCallsPerThread + kCallsPerThread / kRegisterEvery));
    EXPECT_EQ(tally.lost.load(), 0);
    EXPECT_EQ(tally.crossed.load(), 0);
    for (const auto &d : tally.details) ADD_FAILURE() << d;
    // The service is still well after the load, and stops cleanly.
    EXPECT_EQ(MixedCall(svc.suffix(), 7, 0).outcome, CallOutcome::Matched);
    EXPECT_EQ(svc.Stop(), 0) << svc.log();
}

} // namespace
} // namespace vex::test
