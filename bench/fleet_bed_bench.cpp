// vexsrv --all db status over the three hosts of the test bed, as an operator
// runs it: each run a new tool process on node1 that broadcasts, waits --wait
// ms after the last answer and then calls every node that answered at once
// (node1 over its local socket, the others over TLS, each with its echo
// probe). Against it, in alternating turns of the same run, the tool called
// once per node: the slowest of those single calls plus the --wait is the
// floor that --all is measured against (target: within 1.2 times). Needs
// root; skipped with the reason elsewhere.
#include <benchmark/benchmark.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/support/testbed.h"

namespace vex::bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWaitMs = 300;

std::string Slurp(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct FleetBed {
    test::TestBed bed{3};
    std::string dir;
    std::string why;

    FleetBed() {
        if (!bed.ok()) {
            why = bed.why();
            return;
        }
        char temp[] = "/tmp/vexsrv-fbench-XXXXXX";
        dir = ::mkdtemp(temp);
        if (std::system((std::string(MAKE_CERTS_PATH) + " " + dir +
                         "/fleet --node node1=198.18.0.1 --node node2=198.18.0.2 --node node3=198.18.0.3 "
                         ">/dev/null 2>&1")
                            .c_str()) != 0) {
            why = "scripts/make-certs.sh failed";
            return;
        }
        ::setenv("VEXSRV_BROWSE_PORT", "7471", 1); // the bed's own broadcast
        for (int host = 1; host <= 3; ++host) {
            const std::string id = dir + "/fleet/nodes/" + test::TestBed::Name(host);
            const std::string log = dir + "/taskd" + std::to_string(host) + ".log";
            bed.Spawn(host,
                      {TASKD_PATH, "--state-dir", dir + "/state" + std::to_string(host), "--log-level", "info",
                       "--listen", test::TestBed::Address(host), "--tls-cert", id + "/cert.pem", "--tls-key",
                       id + "/key.pem", "--tls-client-ca", id + "/ca.pem"},
                      {}, log);
            bool up = false;
            for (int i = 0; i < 500 && !up; ++i) {
                up = Slurp(log).find("answering browse requests from other nodes") != std::string::npos;
                if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            if (!up) {
                why = "tidewell-taskd did not start on " + test::TestBed::Name(host) + ": " + Slurp(log);
                return;
            }
        }
    }
    ~FleetBed() {
        if (!dir.empty()) std::filesystem::remove_all(dir);
    }

    // One tool run on node1; its wall time in ms, or -1 when it failed.
    double Tool(const std::string &args) const {
        const auto start = Clock::now();
        const int rc = bed.Shell(1, "VEXSRV_TLS_DIR=" + dir + "/fleet/nodes/node1 " + VEXSRV_TOOL_PATH + " " + args +
                                        " >/dev/null 2>&1");
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        return rc == 0 ? ms : -1.0;
    }
};

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void BM_FleetAllOverTheBed(benchmark::State &state) {
    static FleetBed b;
    if (!b.why.empty()) {
        state.SkipWithError(b.why.c_str());
        return;
    }
    std::vector<double> all, slowest_single;
    long failed = 0;
    for (auto _ : state) {
        double slowest = 0;
        for (const char *node : {"node1", "node2", "node3"}) {
            const double ms = b.Tool(std::string("--node ") + node + " db status");
            if (ms < 0) ++failed;
            slowest = std::max(slowest, ms);
        }
        slowest_single.push_back(slowest);
        const double ms = b.Tool("--all --wait " + std::to_string(kWaitMs) + " db status");
        if (ms < 0) ++failed;
        all.push_back(ms);
    }
    const double floor = Median(slowest_single) + kWaitMs;
    state.counters["wait_ms"] = kWaitMs;
    state.counters["all_ms"] = Median(all);
    state.counters["slowest_single_ms"] = Median(slowest_single);
    state.counters["all_over_floor"] = Median(all) / floor;
    state.counters["failed"] = static_cast<double>(failed);
}
BENCHMARK(BM_FleetAllOverTheBed)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
} // namespace vex::bench
