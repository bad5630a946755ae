// Probe tests that need a process of their own, in this order: the first
// probes of the process, made by several threads at the same moment, so that
// the once-per-process lookup of the ICMP entry points is raced for real
// (also meant for the thread sanitizer); then a reply buffer that cannot be
// allocated, through a replaced allocation function.
#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/support/netns.h"
#include "transport/probe.h"

namespace {
// The probe allocates its 100-byte reply buffer without throwing; a test makes
// that allocation fail on its own thread.
thread_local bool t_refuse_reply_buffer = false;
constexpr std::size_t kReplyBufferSize = 100;
} // namespace

void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
    if (t_refuse_reply_buffer && size == kReplyBufferSize) return nullptr;
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

namespace vex {
namespace {

TEST(HostProbe, ConcurrentFirstProbesAllAnswer) {
    constexpr int kThreads = 8;
    std::atomic<int> not_ready{kThreads};
    std::vector<int> reachable(kThreads, -1);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            // All start together.
            not_ready.fetch_sub(1);
            while (not_ready.load() > 0)
                std::this_thread::yield();
            reachable[i] = HostProbe("127.0.0.1", kProbeTimeoutMs) ? 1 : 0;
        });
    }
    for (auto &t : threads)
        t.join();
    for (int i = 0; i < kThreads; ++i)
        EXPECT_EQ(reachable[i], 1) << "thread " << i;
    // Later probes go on from what the first ones left.
    EXPECT_TRUE(HostProbe("localhost", kProbeTimeoutMs));
}

TEST(HostProbe, WithoutAReplyBufferTheProbeIsNotCarriedOutAndAnswersReachable) {
    test::SilentHost host;
    if (!host.ok()) GTEST_SKIP() << host.why();
    const char *address = host.address().c_str();
    constexpr std::uint32_t kTimeoutMs = 300;
    EXPECT_FALSE(HostProbe(address, kTimeoutMs));
    t_refuse_reply_buffer = true;
    EXPECT_EQ(platform::EchoHost(address, kTimeoutMs), platform::EchoOutcome::NotCarriedOut);
    EXPECT_TRUE(HostProbe(address, kTimeoutMs));
    t_refuse_reply_buffer = false;
}

} // namespace
} // namespace vex
