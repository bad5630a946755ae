// Heap allocations per call, counted by replacing the global allocation
// functions of this program: every operation but the list operations should
// allocate nothing.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>

#include "bench/echo_server.h"
#include "vexsrvapi.h"

// malloc is replaced for the whole process, so allocations inside the
// library (operator new included) are seen; only the calling thread counts,
// not the echo server's threads.
extern "C" void *__libc_malloc(std::size_t);
extern "C" void *__libc_calloc(std::size_t, std::size_t);
extern "C" void *__libc_realloc(void *, std::size_t);

namespace {
std::atomic<long> g_allocations{0};
thread_local bool t_counting = false;
void Count() {
    if (t_counting) g_allocations.fetch_add(1, std::memory_order_relaxed);
}
} // namespace

extern "C" {
void *malloc(std::size_t n) {
    Count();
    return __libc_malloc(n);
}
void *calloc(std::size_t n, std::size_t m) {
    Count();
    return __libc_calloc(n, m);
}
void *realloc(void *p, std::size_t n) {
    Count();
    return __libc_realloc(p, n);
}
}

namespace vex::bench {
namespace {

template <typename Call> void CountAllocations(benchmark::State &state, Call call) {
    EchoServer server(BenchSuffix("alloc"), 1);
    long total = 0, calls = 0;
    for (auto _ : state) {
        g_allocations = 0;
        t_counting = true;
        benchmark::DoNotOptimize(call(server.suffix().c_str()));
        t_counting = false;
        total += g_allocations.load();
        ++calls;
    }
    state.counters["allocs_per_call"] = static_cast<double>(total) / static_cast<double>(calls);
}

void BM_Allocations_StartTidewell(benchmark::State &state) {
    CountAllocations(state, [](const char *sfx) {
        std::int32_t value = 0, status = 0;
        char msg[64];
        return VexSrv_StartTidewell(0, ".", sfx, &value, &status, msg, sizeof msg);
    });
}
BENCHMARK(BM_Allocations_StartTidewell)->Iterations(200);

} // namespace
} // namespace vex::bench
