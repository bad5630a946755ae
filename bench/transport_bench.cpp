// The library's cost over the raw transport: the same request through an
// exported operation and through a bare connect-send-receive-close on the
// same socket, against the same server, alternating blocks in one run.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "bench/echo_server.h"
#include "vexsrvapi.h"

namespace vex::bench {
namespace {

// The bare transaction: what any client of the pipe must do at least.
class RawClient {
  public:
    explicit RawClient(const std::string &suffix) {
        std::string name = "tidewell/pipe/zeptar_" + suffix + "_tsk_req";
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        addr_.sun_family = AF_UNIX;
        std::memcpy(addr_.sun_path + 1, name.data(), name.size());
        len_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    }
    bool Call(std::uint32_t code, std::size_t reply_size) {
        std::memset(request_, 0, sizeof request_);
        std::memcpy(request_ + 4, &code, 4);
        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&addr_), len_) == 0 &&
                  ::send(fd, request_, sizeof request_, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof request_) &&
                  ::recv(fd, reply_, reply_size, 0) > 0;
        ::close(fd);
        return ok;
    }

  private:
    sockaddr_un addr_{};
    socklen_t len_ = 0;
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

// One benchmark per operation: each iteration runs a block of library calls
// and a block of raw calls of the same code, in turns. The counters report both costs
// per call and their ratio over the whole run, and the median of the blocks'
// ratios, which a burst of other work on the machine moves least.
template <typename LibraryCall>
void CompareWithRaw(benchmark::State &state, std::uint32_t code, std::size_t reply_size, LibraryCall call) {
    EchoServer server(BenchSuffix("bench"), 1);
    RawClient raw(server.suffix());
    constexpr int kBlock = 32;
    double lib_ns = 0, raw_ns = 0;
    Switches lib_switches, raw_switches;
    std::int64_t calls = 0;
    std::vector<double> ratios;
    auto count_switches = [](Switches &total, const Switches &before) {
        const Switches after = ThreadSwitches();
        total.voluntary += after.voluntary - before.voluntary;
        total.involuntary += after.involuntary - before.involuntary;
    };
    auto library_block = [&] {
        const Switches s0 = ThreadSwitches();
        const auto t0 = Clock::now();
        for (int i = 0; i < kBlock; ++i) benchmark::DoNotOptimize(call(server.suffix().c_str()));
        const double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
        count_switches(lib_switches, s0);
        return ns;
    };
    auto raw_block = [&] {
        const Switches s0 = ThreadSwitches();
        const auto t0 = Clock::now();
        for (int i = 0; i < kBlock; ++i) benchmark::DoNotOptimize(raw.Call(code, reply_size));
        const double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
        count_switches(raw_switches, s0);
        return ns;
    };
    bool library_first = true;
    for (auto _ : state) {
        // Which block goes first alternates, so that neither always follows
        // the other's wake-ups.
        double lib = 0, bare = 0;
        if (library_first) {
            lib = library_block();
            bare = raw_block();
        } else {
            bare = raw_block();
            lib = library_block();
        }
        library_first = !library_first;
        lib_ns += lib;
        raw_ns += bare;
        if (bare > 0) ratios.push_back(lib / bare);
        calls += kBlock;
    }
    std::sort(ratios.begin(), ratios.end());
    state.counters["library_us"] = lib_ns / static_cast<double>(calls) / 1000.0;
    state.counters["raw_us"] = raw_ns / static_cast<double>(calls) / 1000.0;
    state.counters["ratio"] = raw_ns > 0 ? lib_ns / raw_ns : 0;
    state.counters["ratio_median"] = ratios.empty() ? 0 : ratios[ratios.size() / 2];
    const double n = static_cast<double>(calls);
    state.counters["lib_cs_invol"] = lib_switches.involuntary / n;
    state.counters["raw_cs_invol"] = raw_switches.involuntary / n;
    state.counters["lib_cs_vol"] = lib_switches.voluntary / n;
    state.counters["raw_cs_vol"] = raw_switches.voluntary / n;
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
        const std::int32_t r =
            VexSrv_GetTaskList(0, ".", sfx, &value, &status, startup_order, &list, msg, sizeof msg);
        VexSrv_FreeCStringArray(list);
        return r;
    });
}
BENCHMARK(BM_GetTaskListOverRaw)->ArgName("names")->Arg(0)->Arg(10)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

} // namespace
} // namespace vex::bench
