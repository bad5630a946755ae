// A call to another node over a kept-open TLS connection against the same
// call to the local service, on the test bed: node1 calls its own service
// ("." over the local socket) and node2's (over TLS), in alternating blocks
// of one run; then the first call to a node (handshake included) and calls
// per second with 1 to 8 threads to node2. The operation is
// VexSrv_CheckRunningList (536-byte reply, no probe). Needs root; skipped
// with the reason elsewhere.
#include <benchmark/benchmark.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/support/testbed.h"
#include "vexsrvapi.h"

namespace vex::bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr const char *kSuffix = "_rbench";

std::string Slurp(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Bed {
    test::TestBed bed{3};
    std::string dir;
    std::string why;

    bool Start(int host, bool listen) {
        const std::string id = dir + "/fleet/nodes/" + test::TestBed::Name(host);
        std::vector<std::string> argv = {
            TASKD_PATH,    "--suffix",    kSuffix,   "--state-dir", dir + "/state" + std::to_string(host),
            "--no-browse", "--log-level", "warning", "--workers",   "8"};
        if (listen)
            argv.insert(argv.end(), {"--listen", test::TestBed::Address(host), "--listen",
                                     "[" + test::TestBed::Address6(host) + "]", "--tls-cert", id + "/cert.pem",
                                     "--tls-key", id + "/key.pem", "--tls-client-ca", id + "/ca.pem"});
        const std::string log = dir + "/taskd" + std::to_string(host) + ".log";
        if (bed.Spawn(host, argv, {}, log) < 0) return false;
        for (int i = 0; i < 500; ++i) {
            // At level warning the ready line is not logged: wait for the
            // listener or the socket by calling.
            bool up = false;
            bed.RunIn(1, [&] {
                std::int32_t value = 0, status = 0;
                up = VexSrv_CheckRunningList(host == 1 ? "." : test::TestBed::Name(host).c_str(), kSuffix, &value,
                                             &status, nullptr, 0) == 1;
            });
            if (up) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        why = "tidewell-taskd did not answer on " + test::TestBed::Name(host) + ": " + Slurp(log);
        return false;
    }

    Bed() {
        if (!bed.ok()) {
            why = bed.why();
            return;
        }
        char temp[] = "/tmp/vexsrv-rbench-XXXXXX";
        dir = ::mkdtemp(temp);
        if (std::system((std::string(MAKE_CERTS_PATH) + " " + dir +
                         "/fleet --node node1 --node node2 --node node3=198.18.0.3,fd18::3 >/dev/null 2>&1")
                            .c_str()) != 0) {
            why = "scripts/make-certs.sh failed";
            return;
        }
        ::setenv("VEXSRV_TLS_DIR", (dir + "/fleet/nodes/node1").c_str(), 1);
        // node3's service is started later, for a first call.
        if (!Start(1, false) || !Start(2, true)) return;
    }
    ~Bed() {
        if (!dir.empty()) std::filesystem::remove_all(dir);
    }
};

Bed &TheBed() {
    static Bed bed;
    return bed;
}

double Call(const char *node) {
    std::int32_t value = 0, status = 0;
    const auto start = Clock::now();
    const std::int32_t r = VexSrv_CheckRunningList(node, kSuffix, &value, &status, nullptr, 0);
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    return r == 1 ? us : -1.0;
}

double Percentile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

// Alternating blocks of local and remote calls; p50 and p99 of each, their
// ratio, and the first calls to a node (handshake and exchange).
void BM_RemoteAgainstLocal(benchmark::State &state) {
    Bed &b = TheBed();
    if (!b.why.empty()) {
        state.SkipWithError(b.why.c_str());
        return;
    }
    std::vector<double> local, remote, first;
    long failed = 0;
    for (auto _ : state) {
        b.bed.RunIn(1, [&] {
            for (int block = 0; block < 40; ++block)
                for (int i = 0; i < 100; ++i) {
                    for (auto *into : {&local, &remote}) {
                        const double us = Call(into == &local ? "." : "node2");
                        if (us < 0)
                            ++failed;
                        else
                            into->push_back(us);
                    }
                }
        });
    }
    // First calls: to node3 by its two addresses, each a new target of the
    // pool (its name was called to see it ready): a full handshake each.
    if (b.Start(3, true)) {
        b.bed.RunIn(1, [&] {
            for (const char *node : {"198.18.0.3", "fd18::3"})
                first.push_back(Call(node));
        });
    }
    state.counters["local_p50_us"] = Percentile(local, 0.5);
    state.counters["remote_p50_us"] = Percentile(remote, 0.5);
    state.counters["local_p99_us"] = Percentile(local, 0.99);
    state.counters["remote_p99_us"] = Percentile(remote, 0.99);
    state.counters["p50_ratio"] = Percentile(remote, 0.5) / std::max(1e-9, Percentile(local, 0.5));
    state.counters["first_call_us"] = Percentile(first, 1.0);
    state.counters["failed"] = static_cast<double>(failed);
}

// threads clients calling node2 back to back for 1.5 s.
void BM_RemoteThroughput(benchmark::State &state) {
    Bed &b = TheBed();
    if (!b.why.empty()) {
        state.SkipWithError(b.why.c_str());
        return;
    }
    const int threads = static_cast<int>(state.range(0));
    const char *node = state.range(1) == 0 ? "." : "node2";
    std::atomic<long> calls{0}, failed{0};
    std::vector<std::vector<double>> per_thread(static_cast<std::size_t>(threads));
    double seconds = 0;
    for (auto _ : state) {
        b.bed.RunIn(1, [&] {
            std::vector<std::thread> clients;
            const auto start = Clock::now();
            const auto end = start + std::chrono::milliseconds(1500);
            for (int t = 0; t < threads; ++t)
                clients.emplace_back([&, t] {
                    auto &mine = per_thread[static_cast<std::size_t>(t)];
                    while (Clock::now() < end) {
                        const double us = Call(node);
                        if (us < 0) ++failed;
                        mine.push_back(us);
                        ++calls;
                    }
                });
            for (auto &c : clients)
                c.join();
            seconds = std::chrono::duration<double>(Clock::now() - start).count();
        });
    }
    std::vector<double> all;
    for (auto &v : per_thread)
        all.insert(all.end(), v.begin(), v.end());
    state.counters["calls_per_s"] = static_cast<double>(calls.load()) / seconds;
    state.counters["p50_us"] = Percentile(all, 0.5);
    state.counters["p99_us"] = Percentile(all, 0.99);
    state.counters["max_us"] = Percentile(all, 1.0);
    state.counters["failed"] = static_cast<double>(failed.load());
}

const bool g_registered = [] {
    benchmark::RegisterBenchmark("BM_RemoteAgainstLocal", BM_RemoteAgainstLocal)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    for (int threads : {1, 2, 4, 8})
        for (int remote : {0, 1})
            benchmark::RegisterBenchmark("BM_RemoteThroughput", BM_RemoteThroughput)
                ->Args({threads, remote})
                ->ArgNames({"threads", "remote"})
                ->Iterations(1)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
    return true;
}();

} // namespace
} // namespace vex::bench
