// The library's cost over the bare pipe exchange, in both builds (the Windows
// one runs under Wine, where Google Benchmark is not built): blocks of calls
// through VexSrv_StartTidewell and blocks of the bare exchange of the same
// bytes take turns against one echo server in this process.
//   vexsrv_overhead [BLOCKS [CALLS_PER_BLOCK]]
// Prints both costs per call, the ratio of the totals and the median of the
// blocks' ratios. Pin it (taskset -c 1; under Wine with a fresh wineserver
// started under the same taskset) so that cross-CPU wake-ups don't drown it.
#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/echo_server.h"
#include "vexsrvapi.h"

namespace {

unsigned char g_request[8024];
unsigned char g_reply[536];

// The least any client of the pipe must do: one transaction of a request
// prepared once.
class Bare {
  public:
    explicit Bare(const std::string &suffix) {
        std::uint32_t code = 1;
        std::memcpy(g_request + 4, &code, 4);
#if defined(_WIN32)
        name_ = "\\\\.\\pipe\\ZEPTAR_" + suffix + "_TSK_REQ";
#else
        std::string name = "tidewell/pipe/zeptar_" + suffix + "_tsk_req";
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        addr_.sun_family = AF_UNIX;
        std::memcpy(addr_.sun_path + 1, name.data(), name.size());
        len_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
#endif
    }
    bool Call() {
#if defined(_WIN32)
        DWORD read = 0;
        return CallNamedPipeA(name_.c_str(), g_request, sizeof g_request, g_reply, sizeof g_reply, &read,
                              NMPWAIT_WAIT_FOREVER) != 0;
#else
        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        const bool ok =
            ::connect(fd, reinterpret_cast<const sockaddr *>(&addr_), len_) == 0 &&
            ::send(fd, g_request, sizeof g_request, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof g_request) &&
            ::recv(fd, g_reply, sizeof g_reply, 0) > 0;
        ::close(fd);
        return ok;
#endif
    }

  private:
#if defined(_WIN32)
    std::string name_;
#else
    sockaddr_un addr_{};
    socklen_t len_ = 0;
#endif
};

using Clock = std::chrono::steady_clock;

} // namespace

int main(int argc, char **argv) {
    const int blocks = argc > 1 ? std::atoi(argv[1]) : 400;
    const int per_block = argc > 2 ? std::atoi(argv[2]) : 32;
    vex::bench::EchoServer server(vex::bench::BenchSuffix("overhead"), 1);
    const std::string &suffix = server.suffix();
    Bare bare(suffix);
    long failed = 0;
    auto library_block = [&] {
        const auto t0 = Clock::now();
        for (int i = 0; i < per_block; ++i) {
            std::int32_t value = 0, status = 0;
            char msg[64];
            if (VexSrv_StartTidewell(0, ".", suffix.c_str(), &value, &status, msg, sizeof msg) != 1) ++failed;
        }
        return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    };
    auto bare_block = [&] {
        const auto t0 = Clock::now();
        for (int i = 0; i < per_block; ++i)
            if (!bare.Call()) ++failed;
        return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    };
    library_block(); // warm both paths up
    bare_block();
    double lib_total = 0, bare_total = 0;
    std::vector<double> ratios;
    for (int b = 0; b < blocks; ++b) {
        double lib = 0, raw = 0;
        if (b % 2 == 0) {
            lib = library_block();
            raw = bare_block();
        } else {
            raw = bare_block();
            lib = library_block();
        }
        lib_total += lib;
        bare_total += raw;
        ratios.push_back(lib / raw);
    }
    std::sort(ratios.begin(), ratios.end());
    const double calls = static_cast<double>(blocks) * per_block;
    std::printf("library_us=%.3f raw_us=%.3f ratio=%.4f ratio_median=%.4f calls=%.0f failed=%ld\n", lib_total / calls,
                bare_total / calls, lib_total / bare_total, ratios[ratios.size() / 2], calls, failed);
    return failed == 0 ? 0 : 1;
}
