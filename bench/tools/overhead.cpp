// The library's cost over the bare pipe exchange, in both builds (the Windows
// one runs under Wine, where Google Benchmark is not built): blocks of calls
// through VexSrv_StartTidewell and blocks of the bare exchange of the same
// bytes take turns against one echo server in this process.
//   vexsrv_overhead [BLOCKS [CALLS_PER_BLOCK [SUFFIX]]]
// With SUFFIX, the calls go to the task service of that suffix instead, as
// VexSrv_GetTidewellStatus, which changes nothing there.
// Prints both costs per call, the ratio of the totals and the median of the
// blocks' ratios. On Linux a third arm, the bare exchange that also asks who
// serves the socket before it sends (as the library must), gives the
// library's ratio over that too. Pin it (taskset -c 1; under Wine with a
// fresh wineserver started under the same taskset) so that cross-CPU wake-ups
// don't drown it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/echo_server.h"
#include "vexsrvapi.h"

namespace {

unsigned char g_request[8024];
unsigned char g_reply[536];

using Clock = std::chrono::steady_clock;

} // namespace

int main(int argc, char **argv) {
    const int blocks = argc > 1 ? std::atoi(argv[1]) : 400;
    const int per_block = argc > 2 ? std::atoi(argv[2]) : 32;
    // The echo server answers every request; a task service, asked its
    // status, changes nothing.
    std::unique_ptr<vex::bench::EchoServer> echo;
    if (argc <= 3) echo = std::make_unique<vex::bench::EchoServer>(vex::bench::BenchSuffix("overhead"), 1);
    const std::string suffix = echo ? echo->suffix() : argv[3];
    const std::uint32_t code = echo ? 1 : 19;
#if defined(_WIN32)
    constexpr int kArms = 2; // the pipe has an owner: nobody asks who serves it
#else
    constexpr int kArms = 3;
#endif
    // The bare exchange sends a request prepared once.
    std::memcpy(g_request + 4, &code, 4);
    const vex::bench::BareClient bare(suffix, false), checked(suffix, true);
    long failed = 0;
    auto run_block = [&](int arm) {
        const auto t0 = Clock::now();
        for (int i = 0; i < per_block; ++i) {
            if (arm == 0) {
                std::int32_t value = 0, status = 0;
                char msg[64];
                const std::int32_t r =
                    echo ? VexSrv_StartTidewell(0, ".", suffix.c_str(), &value, &status, msg, sizeof msg)
                         : VexSrv_GetTidewellStatus(".", suffix.c_str(), &value, &status, msg, sizeof msg);
                if (r != 1) ++failed;
            } else if (!(arm == 1 ? bare : checked).Call(g_request, sizeof g_request, g_reply, sizeof g_reply)) {
                ++failed;
            }
        }
        return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    };
    for (int arm = 0; arm < kArms; ++arm)
        run_block(arm); // warm every path up
    double totals[3] = {};
    std::vector<double> ratios[3];
    for (int b = 0; b < blocks; ++b) {
        // The arm that goes first rotates, so that none always follows
        // another's wake-ups.
        double us[3] = {};
        for (int k = 0; k < kArms; ++k) {
            const int arm = (b + k) % kArms;
            us[arm] = run_block(arm);
            totals[arm] += us[arm];
        }
        for (int arm = 1; arm < kArms; ++arm)
            ratios[arm].push_back(us[0] / us[arm]);
    }
    for (int arm = 1; arm < kArms; ++arm)
        std::sort(ratios[arm].begin(), ratios[arm].end());
    const double calls = static_cast<double>(blocks) * per_block;
    std::printf("library_us=%.3f raw_us=%.3f ratio=%.4f ratio_median=%.4f", totals[0] / calls, totals[1] / calls,
                totals[0] / totals[1], ratios[1][ratios[1].size() / 2]);
    if (kArms == 3)
        std::printf(" checked_us=%.3f ratio_checked=%.4f ratio_checked_median=%.4f", totals[2] / calls,
                    totals[0] / totals[2], ratios[2][ratios[2].size() / 2]);
    std::printf(" calls=%.0f failed=%ld\n", calls, failed);
    return failed == 0 ? 0 : 1;
}
