// One operation over many nodes (vexsrv::ForEachNode): 64 reference services
// on this computer, told apart by their suffixes, stand in for 64 nodes. Each
// run of db status over all of them is timed as a whole (wall) and per node;
// the ratio that matters is the wall time over the slowest single call of the
// same run, and, as a baseline, the same 64 calls one after another.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/service/taskd_process.h"
#include "vexsrv/fleet.h"
#include "vexsrv/service.h"

namespace vex::bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kNodes = 64;

// Started once for the whole run: one worker each, no browse answers.
const std::vector<std::string> &Nodes() {
    static std::vector<std::unique_ptr<taskd::test::TaskdProcess>> services;
    static const std::vector<std::string> suffixes = [] {
        std::vector<std::string> s;
        for (int i = 0; i < kNodes; ++i) {
            services.push_back(std::make_unique<taskd::test::TaskdProcess>(
                std::vector<std::string>{"--workers", "1", "--log-level", "warning", "--no-browse"}));
            if (!services.back()->ready())
                throw std::runtime_error("tidewell-taskd did not become ready:\n" + services.back()->log());
            s.push_back(services.back()->suffix());
        }
        return s;
    }();
    return suffixes;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void BM_FleetStatus(benchmark::State &state) {
    const auto parallel = static_cast<std::size_t>(state.range(0));
    const std::vector<std::string> &nodes = Nodes();
    double wall = 0, slowest = 0, failed = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        const auto rows = vexsrv::ForEachNode(
            nodes, [](const std::string &suffix) { return vexsrv::Service(".", suffix).GetStatus(); },
            {.parallel = parallel, .timeout = std::chrono::seconds(10)});
        wall += Ms(Clock::now() - t0);
        double worst = 0;
        for (const auto &row : rows) {
            worst = std::max(worst, static_cast<double>(row.elapsed.count()) / 1000.0);
            if (row.outcome != vexsrv::NodeOutcome::Done || !row.result.ok) ++failed;
        }
        slowest += worst;
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["nodes"] = kNodes;
    state.counters["wall_ms"] = wall / n;
    state.counters["slowest_node_ms"] = slowest / n;
    state.counters["failed"] = failed;
}

void BM_SequentialStatus(benchmark::State &state) {
    const std::vector<std::string> &nodes = Nodes();
    double wall = 0, failed = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        for (const std::string &suffix : nodes)
            if (!vexsrv::Service(".", suffix).GetStatus().ok) ++failed;
        wall += Ms(Clock::now() - t0);
    }
    state.counters["nodes"] = kNodes;
    state.counters["wall_ms"] = wall / static_cast<double>(state.iterations());
    state.counters["failed"] = failed;
}

BENCHMARK(BM_SequentialStatus)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FleetStatus)->ArgName("parallel")->Arg(1)->Arg(16)->Arg(64)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
} // namespace vex::bench
