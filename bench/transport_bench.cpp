// The library's cost over the raw transport: the same request through an
// exported operation and through a bare connect-send-receive-close on the
// same socket, against the same server, alternating blocks in one run.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "bench/echo_server.h"
#include "vexsrvapi.h"

namespace vex::bench {
namespace {

// The bare transaction: what any client of the pipe must do at least, its
// request record written anew each time as a caller's would be.
class RawClient {
  public:
    RawClient(const std::string &suffix, bool check_server) : bare_(suffix, check_server) {}
    bool Call(std::uint32_t code, std::size_t reply_size) {
        std::memset(request_, 0, sizeof request_);
        std::memcpy(request_ + 4, &code, 4);
        return bare_.Call(request_, sizeof request_, reply_, reply_size);
    }

  private:
    BareClient bare_;
    unsigned char request_[8024];
    unsigned char reply_[8024];
};

using Clock = std::chrono::steady_clock;

// Context switches of the calling thread so far: the blocking receives
// (voluntary) and the wake-ups that preempted it (involuntary).
struct Switches {
    double voluntary = 0, involuntary = 0;
};
Switches ThreadSwitches() {
    rusage use{};
    ::getrusage(RUSAGE_THREAD, &use);
    return {static_cast<double>(use.ru_nvcsw), static_cast<double>(use.ru_nivcsw)};
}

// One benchmark per operation: each iteration runs a block of library calls,
// a block of raw calls of the same code and a block of raw calls that also
// check who serves the socket, in turns. The counters report each cost per
// call, the library's ratio over both raw paths for the whole run, and the
// median of the blocks' ratios, which a burst of other work on the machine
// moves least.
template <typename LibraryCall>
void CompareWithRaw(benchmark::State &state, std::uint32_t code, std::size_t reply_size, LibraryCall call) {
    EchoServer server(BenchSuffix("bench"), 1);
    RawClient raw(server.suffix(), false), checked(server.suffix(), true);
    constexpr int kBlock = 32;
    struct Arm {
        double ns = 0;
        Switches switches;
        std::vector<double> blocks;
    };
    Arm arms[3]; // library, raw, raw with the server check
    auto run_block = [&](int which) {
        const Switches s0 = ThreadSwitches();
        const auto t0 = Clock::now();
        for (int i = 0; i < kBlock; ++i) {
            if (which == 0)
                benchmark::DoNotOptimize(call(server.suffix().c_str()));
            else
                benchmark::DoNotOptimize((which == 1 ? raw : checked).Call(code, reply_size));
        }
        const double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
        const Switches s1 = ThreadSwitches();
        Arm &arm = arms[which];
        arm.switches.voluntary += s1.voluntary - s0.voluntary;
        arm.switches.involuntary += s1.involuntary - s0.involuntary;
        arm.ns += ns;
        arm.blocks.push_back(ns);
    };
    std::int64_t calls = 0;
    int first = 0;
    for (auto _ : state) {
        // Which block goes first rotates, so that none always follows
        // another's wake-ups.
        for (int k = 0; k < 3; ++k)
            run_block((first + k) % 3);
        first = (first + 1) % 3;
        calls += kBlock;
    }
    const double n = static_cast<double>(calls);
    auto median_ratio = [&](const Arm &over) {
        std::vector<double> ratios;
        for (std::size_t i = 0; i < arms[0].blocks.size(); ++i)
            if (over.blocks[i] > 0) ratios.push_back(arms[0].blocks[i] / over.blocks[i]);
        std::sort(ratios.begin(), ratios.end());
        return ratios.empty() ? 0.0 : ratios[ratios.size() / 2];
    };
    state.counters["library_us"] = arms[0].ns / n / 1000.0;
    state.counters["raw_us"] = arms[1].ns / n / 1000.0;
    state.counters["raw_checked_us"] = arms[2].ns / n / 1000.0;
    state.counters["ratio"] = arms[1].ns > 0 ? arms[0].ns / arms[1].ns : 0;
    state.counters["ratio_median"] = median_ratio(arms[1]);
    state.counters["ratio_checked"] = arms[2].ns > 0 ? arms[0].ns / arms[2].ns : 0;
    state.counters["ratio_checked_median"] = median_ratio(arms[2]);
    state.counters["lib_cs_invol"] = arms[0].switches.involuntary / n;
    state.counters["raw_cs_invol"] = arms[1].switches.involuntary / n;
    state.counters["checked_cs_invol"] = arms[2].switches.involuntary / n;
    state.counters["lib_cs_vol"] = arms[0].switches.voluntary / n;
    state.counters["raw_cs_vol"] = arms[1].switches.voluntary / n;
    state.counters["checked_cs_vol"] = arms[2].switches.voluntary / n;
}

void BM_StartTidewellOverRaw(benchmark::State &state) {
    CompareWithRaw(state, 1, 536, [](const char *sfx) {
        std::int32_t value = 0, status = 0;
        char msg[64];
        return VexSrv_StartTidewell(0, ".", sfx, &value, &status, msg, sizeof msg);
    });
}
BENCHMARK(BM_StartTidewellOverRaw)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

} // namespace
} // namespace vex::bench

namespace vex::bench {
namespace {

// A list operation: the 8024-byte reply unpacked into a new array that is
// given back, against the bare exchange of the same records. The echo server
// answers the startup-order request (12) with an empty list and the
// list-order request (13) with ten names.
void BM_GetTaskListOverRaw(benchmark::State &state) {
    const std::int32_t startup_order = state.range(0) == 0 ? 1 : 0;
    CompareWithRaw(state, startup_order != 0 ? 12 : 13, 8024, [startup_order](const char *sfx) {
        std::int32_t value = 0, status = 0;
        char msg[64];
        CStringArray *list = nullptr;
        const std::int32_t r = VexSrv_GetTaskList(0, ".", sfx, &value, &status, startup_order, &list, msg, sizeof msg);
        VexSrv_FreeCStringArray(list);
        return r;
    });
}
BENCHMARK(BM_GetTaskListOverRaw)->ArgName("names")->Arg(0)->Arg(10)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

} // namespace
} // namespace vex::bench
