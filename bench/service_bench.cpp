// The reference service's throughput and latency with 1, 2, 4 and 8 client
// threads, against the raw echo server's in the same run: every client
// thread calls VexSrv_GetTidewellStatus back to back for a fixed time and
// times each call. The service runs as a child process (its own state
// folder, a suffix of this run, 8 workers, no per-request log lines).
// The service's rows also give its rate and p99 over the echo server's at the
// same thread count (calls_vs_echo, p99_vs_echo).
//
// Durable edits: 1 and 8 client threads each add a task of their own and
// remove it again, back to back, against a service of its own whose state
// folder is on the disk the temporary folder is on; every acknowledged edit is
// on disk. edits_per_s counts adds and removes alike; the 8-client row gives
// its rate over the 1-client row's (vs_one_client).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
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

// A service started from beside this program, with the same options for
// every benchmark that needs one.
std::unique_ptr<taskd::test::TaskdProcess> StartService() {
    auto s = std::make_unique<taskd::test::TaskdProcess>(
        std::vector<std::string>{"--workers", "8", "--log-level", "warning", "--no-browse"});
    if (!s->ready()) throw std::runtime_error("tidewell-taskd did not become ready:\n" + s->log());
    return s;
}

// Started once, for every thread count.
taskd::test::TaskdProcess &Service() {
    static const std::unique_ptr<taskd::test::TaskdProcess> svc = StartService();
    return *svc;
}

EchoServer &Echo() {
    static EchoServer echo(BenchSuffix("echo"), 8);
    return echo;
}

// What one row measured.
struct LoadFigures {
    double calls_per_s = 0;
    double p50_us = 0;
    double p99_us = 0;
    long failed = 0;
};

// threads clients, each calling call(client index, call number) for kRunTime
// and timing every call; call returns whether it succeeded.
LoadFigures Load(benchmark::State &state, const std::function<bool(int, long)> &call) {
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
                long n = 0;
                for (auto now = Clock::now(); now < end;) {
                    const bool ok = call(t, n++);
                    const auto after = Clock::now();
                    if (!ok) failures.fetch_add(1);
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
    LoadFigures f;
    f.calls_per_s = static_cast<double>(latencies.size()) / seconds;
    f.p50_us = at(0.50);
    f.p99_us = at(0.99);
    f.failed = failed;
    return f;
}

void Report(benchmark::State &state, const LoadFigures &f, const char *rate_name) {
    state.counters[rate_name] = f.calls_per_s;
    state.counters["p50_us"] = f.p50_us;
    state.counters["p99_us"] = f.p99_us;
    state.counters["failed"] = static_cast<double>(f.failed);
}

bool StatusCall(const std::string &suffix) {
    std::int32_t value = 0, status = 0;
    return VexSrv_GetTidewellStatus(".", suffix.c_str(), &value, &status, nullptr, 0) == 1;
}

// The echo server's figures by thread count, for the service's rows that follow.
std::map<std::int64_t, LoadFigures> &EchoFigures() {
    static std::map<std::int64_t, LoadFigures> figures;
    return figures;
}

void BM_EchoThroughput(benchmark::State &state) {
    const std::string &suffix = Echo().suffix();
    const LoadFigures f = Load(state, [&](int, long) { return StatusCall(suffix); });
    EchoFigures()[state.range(0)] = f;
    Report(state, f, "calls_per_s");
}

void BM_ServiceThroughput(benchmark::State &state) {
    const std::string &suffix = Service().suffix();
    const LoadFigures f = Load(state, [&](int, long) { return StatusCall(suffix); });
    Report(state, f, "calls_per_s");
    const auto echo = EchoFigures().find(state.range(0));
    if (echo != EchoFigures().end() && echo->second.calls_per_s > 0 && echo->second.p99_us > 0) {
        state.counters["calls_vs_echo"] = f.calls_per_s / echo->second.calls_per_s;
        state.counters["p99_vs_echo"] = f.p99_us / echo->second.p99_us;
    }
}

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

// ---- Durable edits --------------------------------------------------------

taskd::test::TaskdProcess &EditService() {
    static const std::unique_ptr<taskd::test::TaskdProcess> svc = StartService();
    return *svc;
}

// Client t's task: added on even calls, removed on odd ones, so the state
// keeps its size however long the run. Each run names its tasks apart, since
// a run may end between an add and its remove.
bool EditCall(const std::string &suffix, int run, int client, long n) {
    TaskDefinition2 task;
    std::memset(&task, 0, sizeof task);
    std::snprintf(task.task_name, sizeof task.task_name, "BENCH_EDIT_%d_%d", run, client);
    std::snprintf(task.command_line, sizeof task.command_line, "/bin/true");
    task.position = -1;
    std::int32_t value = 0, status = 0;
    char message[256] = {};
    bool ok;
    if (n % 2 == 0) {
        ok = VexSrv_AddTaskToList2(".", suffix.c_str(), &task, &value, &status, message, sizeof message - 1) == 1;
    } else {
        TaskDefinition1 gone;
        std::memset(&gone, 0, sizeof gone);
        std::memcpy(gone.task_name, task.task_name, sizeof gone.task_name);
        ok = VexSrv_RemoveTaskFromList(".", suffix.c_str(), &gone, &value, &status, message, sizeof message - 1) == 1;
    }
    // The first failure says why: a failed edit makes the figures meaningless.
    static std::atomic<bool> told{false};
    if (!ok && !told.exchange(true))
        std::fprintf(stderr, "edit %ld of client %d failed: status %d: %s\n", n, client, static_cast<int>(status),
                     message);
    return ok;
}

double g_one_client_edits = 0;

void BM_ServiceEdits(benchmark::State &state) {
    const std::string &suffix = EditService().suffix();
    static int runs = 0;
    const int run = runs++;
    const LoadFigures f = Load(state, [&](int client, long n) { return EditCall(suffix, run, client, n); });
    Report(state, f, "edits_per_s");
    if (state.range(0) == 1) g_one_client_edits = f.calls_per_s;
    else if (g_one_client_edits > 0) state.counters["vs_one_client"] = f.calls_per_s / g_one_client_edits;
}
BENCHMARK(BM_ServiceEdits)->Arg(1)->Arg(8)->ArgName("threads")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
} // namespace vex::bench
