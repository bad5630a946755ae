// The library's cost over the raw transport: the same request through an
// exported operation and through a bare connect-send-receive-close on the
// same socket, against the same server, alternating blocks in one run.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <string>

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

// One benchmark per operation: each iteration runs a block of library calls
// and a block of raw calls of the same code, and the counters report both
// costs per call and their ratio.
template <typename LibraryCall>
void CompareWithRaw(benchmark::State &state, std::uint32_t code, std::size_t reply_size, LibraryCall call) {
    EchoServer server(BenchSuffix("bench"), 1);
    RawClient raw(server.suffix());
    constexpr int kBlock = 32;
    double lib_ns = 0, raw_ns = 0;
    std::int64_t calls = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        for (int i = 0; i < kBlock; ++i) benchmark::DoNotOptimize(call(server.suffix().c_str()));
        auto t1 = Clock::now();
        for (int i = 0; i < kBlock; ++i) benchmark::DoNotOptimize(raw.Call(code, reply_size));
        auto t2 = Clock::now();
        lib_ns += std::chrono::duration<double, std::nano>(t1 - t0).count();
        raw_ns += std::chrono::duration<double, std::nano>(t2 - t1).count();
        calls += kBlock;
    }
    state.counters["library_us"] = lib_ns / static_cast<double>(calls) / 1000.0;
    state.counters["raw_us"] = raw_ns / static_cast<double>(calls) / 1000.0;
    state.counters["ratio"] = raw_ns > 0 ? lib_ns / raw_ns : 0;
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

// A list operation: the 8024-byte reply with ten names, unpacked into a new
// array and given back, against the bare exchange of the same records.
void BM_GetTaskListOverRaw(benchmark::State &state) {
    CompareWithRaw(state, 13, 8024, [](const char *sfx) {
        std::int32_t value = 0, status = 0;
        char msg[64];
        CStringArray *list = nullptr;
        const std::int32_t r = VexSrv_GetTaskList(0, ".", sfx, &value, &status, 0, &list, msg, sizeof msg);
        VexSrv_FreeCStringArray(list);
        return r;
    });
}
BENCHMARK(BM_GetTaskListOverRaw)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

} // namespace
} // namespace vex::bench
