// Heap allocations per call of every exported operation that exchanges with
// the service, counted by replacing the global allocation functions of this
// program: every operation but the two list operations should allocate
// nothing; those allocate the returned array and its strings.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "bench/echo_server.h"
#include "tests/support/operation_table.h"
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

// Counts the allocations of one row's call per iteration, after one call
// outside the count (first-use set-up of the row's own arguments).
void CountAllocations(benchmark::State &state, const test::OperationRow &row) {
    EchoServer server(BenchSuffix("alloc"), 1);
    std::int32_t value = 0, status = 0;
    char msg[64];
    test::CallArgs args;
    args.suffix = server.suffix().c_str();
    args.value = &value;
    args.status = &status;
    args.message = msg;
    args.message_length = sizeof msg;
    row.call(args);
    long total = 0, calls = 0, failed = 0;
    for (auto _ : state) {
        g_allocations = 0;
        t_counting = true;
        const std::int32_t r = row.call(args);
        t_counting = false;
        benchmark::DoNotOptimize(r);
        total += g_allocations.load();
        ++calls;
        if (r != 1) ++failed;
    }
    state.counters["allocs_per_call"] = static_cast<double>(total) / static_cast<double>(calls);
    // Every call must have completed, or the count says nothing.
    state.counters["failed_calls"] = static_cast<double>(failed);
}

// One benchmark per row of the operation table, registered before main runs.
const bool g_registered = [] {
    for (const test::OperationRow &row : test::kOperationRows)
        benchmark::RegisterBenchmark((std::string("BM_Allocations/") + row.name).c_str(),
                                     [&row](benchmark::State &state) { CountAllocations(state, row); })
            ->Iterations(200);
    return true;
}();

} // namespace
} // namespace vex::bench
