// A loop of calls for attributing the library's cost with outside tools
// (perf stat, valgrind): one process serves, another calls, so that each
// tool sees one side only.
//   vexsrv_call_loop serve SUFFIX            echo server, one thread, until killed
//   vexsrv_call_loop lib|raw|raw+work|list|list10 SUFFIX N
// lib: N VexSrv_StartTidewell; raw: N bare exchanges of the same bytes;
// raw+work: the same with 8 KB more cleared before each;
// list / list10: N VexSrv_GetTaskList of an empty list / ten names.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/echo_server.h"
#include "vexsrvapi.h"

namespace {

unsigned char g_request[8024];
unsigned char g_reply[8024];

bool RawCall(const vex::bench::BareClient &bare, std::uint32_t code, std::size_t reply_size) {
    std::memset(g_request, 0, sizeof g_request);
    std::memcpy(g_request + 4, &code, 4);
    return bare.Call(g_request, sizeof g_request, g_reply, reply_size);
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s serve SUFFIX | lib|raw|list|list10 SUFFIX N\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1], suffix = argv[2];
    if (mode == "serve") {
        vex::bench::EchoServer server(suffix, 1);
        for (;;)
            ::pause();
    }
    const long n = argc > 3 ? std::atol(argv[3]) : 100000;
    const vex::bench::BareClient bare(suffix, false);
    long failed = 0;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < n; ++i) {
        std::int32_t value = 0, status = 0;
        char msg[64];
        bool ok;
        if (mode == "raw") {
            ok = RawCall(bare, 1, 536);
        } else if (mode == "raw+work") {
            // The bare exchange with about as much work of its own again
            // before it: how the client's own time moves the preemptions.
            static unsigned char scratch[8024];
            std::memset(scratch, static_cast<int>(i), sizeof scratch);
            asm volatile("" : : "r"(scratch) : "memory");
            ok = RawCall(bare, 1, 536);
        } else if (mode == "lib") {
            ok = VexSrv_StartTidewell(0, ".", suffix.c_str(), &value, &status, msg, sizeof msg) == 1;
        } else {
            CStringArray *list = nullptr;
            ok = VexSrv_GetTaskList(0, ".", suffix.c_str(), &value, &status, mode == "list" ? 1 : 0, &list, msg,
                                    sizeof msg) == 1;
            VexSrv_FreeCStringArray(list);
        }
        if (!ok) ++failed;
    }
    const double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    if (failed != 0) std::fprintf(stderr, "%ld calls failed\n", failed);
    // Context switches of the calling side: voluntary ones are the blocking
    // receives, involuntary ones the wake-ups that preempted the caller.
    rusage use{};
    ::getrusage(RUSAGE_SELF, &use);
    std::fprintf(
        stderr, "%s: %ld calls, %.2f us per call, %.3f voluntary and %.3f involuntary context switches per call\n",
        mode.c_str(), n, us / static_cast<double>(n), static_cast<double>(use.ru_nvcsw) / static_cast<double>(n),
        static_cast<double>(use.ru_nivcsw) / static_cast<double>(n));
    return failed == 0 ? 0 : 1;
}
