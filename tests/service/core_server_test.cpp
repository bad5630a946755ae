// The server's parts that need no pipe: the per-peer log limiter and the
// worker pool that grows while requests wait long.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "service/log_limiter.h"
#include "service/worker_pool.h"

namespace taskd {
namespace {

using namespace std::chrono_literals;
using Clock = LogLimiter::Clock;

TEST(LogLimiter, BurstThenOneCountPerIntervalWhileFloodingAndTheBurstBackAfterQuiet) {
    LogLimiter limiter(3, 10s, 8);
    const PeerKey a = PeerKey::LocalUser(65534), b = PeerKey::LocalUser(1000);
    const auto t0 = Clock::now();
    int allowed = 0;
    for (int i = 0; i < 100; ++i) allowed += limiter.Allow(a, t0) ? 1 : 0;
    EXPECT_EQ(allowed, 3);
    EXPECT_TRUE(limiter.Allow(b, t0)); // another peer has its own burst

    std::vector<std::pair<PeerKey, std::uint64_t>> reports;
    auto report = [&](const PeerKey &k, std::uint64_t n) { reports.emplace_back(k, n); };
    EXPECT_EQ(limiter.Sweep(t0 + 5s, report), t0 + 10s);
    EXPECT_TRUE(reports.empty());
    limiter.Sweep(t0 + 10s, report);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].first, a);
    EXPECT_EQ(reports[0].second, 97u);

    // Still flooding: no burst in the next interval, only its count.
    EXPECT_FALSE(limiter.Allow(a, t0 + 11s));
    reports.clear();
    limiter.Sweep(t0 + 20s, report);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].second, 1u);
    // A quiet interval: forgotten, and the burst is back.
    reports.clear();
    EXPECT_EQ(limiter.Sweep(t0 + 30s, report), Clock::time_point::max());
    EXPECT_TRUE(reports.empty());
    EXPECT_TRUE(limiter.Allow(a, t0 + 31s));
}

TEST(LogLimiter, PeersBeyondItsTableShareOneAccount) {
    LogLimiter limiter(1, 10s, 4);
    const auto t0 = Clock::now();
    int allowed = 0;
    for (std::uint32_t uid = 0; uid < 1000; ++uid) allowed += limiter.Allow(PeerKey::LocalUser(uid), t0) ? 1 : 0;
    EXPECT_EQ(allowed, 5); // four peers of their own, then one shared burst
    std::uint64_t counted = 0;
    limiter.Sweep(t0 + 10s, [&](const PeerKey &, std::uint64_t n) { counted += n; });
    EXPECT_EQ(counted, 995u);
}

struct PoolTest {
    std::mutex mu;
    std::condition_variable cv;
    bool release = false;
    std::atomic<int> done{0};
    static void Run(void *self, void *job) {
        auto *t = static_cast<PoolTest *>(self);
        if (job != nullptr) {
            // A long wait, as a stop's grace is.
            BlockingScope blocking;
            std::unique_lock<std::mutex> lock(t->mu);
            t->cv.wait(lock, [t] { return t->release; });
        }
        ++t->done;
    }
};

TEST(WorkerPool, JobsWaitingLongDoNotHoldTheOthers) {
    PoolTest t;
    WorkerPool pool(2, 6, PoolTest::Run, &t);
    int token = 0;
    for (int i = 0; i < 4; ++i) pool.Submit(&token); // more long waits than core threads
    for (int i = 0; i < 3; ++i) pool.Submit(nullptr);
    for (int i = 0; i < 500 && t.done.load() < 3; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(t.done.load(), 3);
    EXPECT_EQ(pool.threads(), 6);
    {
        std::lock_guard<std::mutex> lock(t.mu);
        t.release = true;
    }
    t.cv.notify_all();
    EXPECT_TRUE(pool.Stop().empty());
    EXPECT_EQ(t.done.load(), 7);
}

} // namespace
} // namespace taskd
