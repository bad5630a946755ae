// Discovery with nobody answering: how long VexSrv_Broadcast takes from call
// to return, against the read time-out it was given. The browse request goes
// to "*"; this program holds the local browse mailslot itself and never
// answers, so the call ends with its first read's time-out. (When another
// program holds that mailslot, the counter browse_held_elsewhere says so, and
// answers may come.)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "platform/platform.h"
#include "vexsrvapi.h"

namespace vex::bench {
namespace {

using Clock = std::chrono::steady_clock;

long g_answers = 0;

void VEXSRV_CDECL CountAnswer(const char *, const char *, const char *, std::int32_t) { ++g_answers; }

// The local browse mailslot, held silent for the whole run; 183 when another
// program holds it.
std::uint32_t HoldBrowseMailslot() {
    static const std::uint32_t error = [] {
        // The broadcast stays on this computer (docs/discovery.md).
        ::setenv("VEXSRV_BROWSE_PORT", "0", 0);
        platform::MailslotHandle browse = platform::kNoMailslot;
        return platform::CreateLocalMailslot("\\\\.\\mailslot\\Tidewell\\Browse", 0, 0, platform::OpenSecurity{},
                                             &browse);
    }();
    return error;
}

void BM_BroadcastNoAnswer(benchmark::State &state) {
    const auto timeout = static_cast<std::uint32_t>(state.range(0));
    const bool held_elsewhere = HoldBrowseMailslot() != 0;
    double total_ms = 0, worst_ms = 0;
    long calls = 0, failed = 0;
    for (auto _ : state) {
        char msg[256];
        const auto t0 = Clock::now();
        const std::int32_t r = VexSrv_Broadcast(nullptr, timeout, CountAnswer, 0, msg, sizeof msg);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        total_ms += ms;
        worst_ms = std::max(worst_ms, ms);
        ++calls;
        if (r != 1) ++failed;
    }
    state.counters["timeout_ms"] = timeout;
    state.counters["return_ms"] = total_ms / static_cast<double>(calls);
    state.counters["over_timeout_ms"] = total_ms / static_cast<double>(calls) - timeout;
    state.counters["worst_ms"] = worst_ms;
    state.counters["answers"] = static_cast<double>(g_answers);
    state.counters["failed"] = static_cast<double>(failed);
    state.counters["browse_held_elsewhere"] = held_elsewhere ? 1 : 0;
}
BENCHMARK(BM_BroadcastNoAnswer)->ArgName("timeout_ms")->Arg(0)->Iterations(50)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BroadcastNoAnswer)->ArgName("timeout_ms")->Arg(10)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BroadcastNoAnswer)->ArgName("timeout_ms")->Arg(100)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BroadcastNoAnswer)->ArgName("timeout_ms")->Arg(500)->Iterations(4)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
} // namespace vex::bench
