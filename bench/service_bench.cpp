// The reference service's throughput and latency with 1, 2, 4 and 8 client
// threads, against the raw echo server's in the same run: every client
// thread calls VexSrv_GetTidewellStatus back to back for a fixed time and
// times each call. The service runs as a child process (its own state
// folder, a suffix of this run, 8 workers, no per-request log lines).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "bench/echo_server.h"
#include "tests/service/taskd_process.h"
#include "vexsrvapi.h"

namespace vex::bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRunTime = std::chrono::milliseconds(1500);

// Started once, from beside this program, for every thread count.
taskd::test::TaskdProcess &Service() {
    static std::unique_ptr<taskd::test::TaskdProcess> svc = [] {
        auto s = std::make_unique<taskd::test::TaskdProcess>(
            std::vector<std::string>{"--workers", "8", "--log-level", "warning", "--no-browse"});
        if (!s->ready()) throw std::runtime_error("tidewell-taskd did not become ready:\n" + s->log());
        return s;
    }();
    return *svc;
}

EchoServer &Echo() {
    static EchoServer echo(BenchSuffix("echo"), 8);
    return echo;
}

// threads clients, each calling for kRunTime; counters: calls per second of
// all threads together, p50 and p99 of single calls, failed calls.
void Load(benchmark::State &state, const std::string &suffix) {
    const int threads = static_cast<int>(state.range(0));
    std::vector<double> latencies;
    long failed = 0;
    double seconds = 0;
    for (auto _ : state) {
        std::vector<std::vector<double>> per_thread(static_cast<std::size_t>(threads));
        std::atomic<long> failures{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> clients;
        for (int t = 0; t < threads; ++t)
            clients.emplace_back([&, t] {
                auto &mine = per_thread[static_cast<std::size_t>(t)];
                mine.reserve(100000);
                while (!go.load()) std::this_thread::yield();
                const auto end = Clock::now() + kRunTime;
                for (auto now = Clock::now(); now < end;) {
                    std::int32_t value = 0, status = 0;
                    const std::int32_t r = VexSrv_GetTidewellStatus(".", suffix.c_str(), &value, &status, nullptr, 0);
                    const auto after = Clock::now();
                    if (r != 1) failures.fetch_add(1);
                    mine.push_back(std::chrono::duration<double, std::micro>(after - now).count());
                    now = after;
                }
            });
        const auto start = Clock::now();
        go = true;
        for (auto &c : clients) c.join();
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
        for (auto &v : per_thread) latencies.insert(latencies.end(), v.begin(), v.end());
        failed += failures.load();
    }
    std::sort(latencies.begin(), latencies.end());
    auto at = [&](double q) {
        return latencies.empty() ? 0.0 : latencies[static_cast<std::size_t>(q * static_cast<double>(latencies.size() - 1))];
    };
    state.counters["calls_per_s"] = static_cast<double>(latencies.size()) / seconds;
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
    state.counters["failed"] = static_cast<double>(failed);
}

void BM_ServiceThroughput(benchmark::State &state) { Load(state, Service().suffix()); }
void BM_EchoThroughput(benchmark::State &state) { Load(state, Echo().suffix()); }

// Interleaved by thread count, so that the two see the same machine state.
const bool g_registered = [] {
    for (int threads : {1, 2, 4, 8}) {
        benchmark::RegisterBenchmark("BM_EchoThroughput", BM_EchoThroughput)
            ->Arg(threads)->ArgName("threads")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
        benchmark::RegisterBenchmark("BM_ServiceThroughput", BM_ServiceThroughput)
            ->Arg(threads)->ArgName("threads")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
    }
    return true;
}();

} // namespace
} // namespace vex::bench
