// vexsrv/fleet.h: one operation over many nodes at once, a result per node,
// each bounded in time.
//
//   auto rows = vexsrv::ForEachNode({"plant1", "plant2"}, [](const std::string &node) {
//       return vexsrv::Service(node, "").CheckStatus();
//   });
//   for (const auto &row : rows)
//       if (row.outcome != vexsrv::NodeOutcome::Done || !row.result) ...
//
// The library's calls block without limit and cannot be cancelled. So each
// node's call runs on a thread of its own, and a call still running at its
// time-out is abandoned: its node is reported as timed out at once, and the
// thread finishes (or never does) on its own, holding only its own copies.
// A node that does not answer therefore never delays the others past the
// time-out, and takes its place among the running calls only until then.
#pragma once

#include "vexsrv/requires_cxx20.h"
#if defined(VEXSRV_CXX_LAYER_USABLE)

#include <algorithm>
#include <chrono>
#include <concepts>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "vexsrv/discovery.h"
#include "vexsrv/result.h"

namespace vexsrv {

// How one node's call ended.
enum class NodeOutcome {
    Done,     // the call returned: see its result
    TimedOut, // no return within the time-out; the outcome on the node is unknown
    Failed,   // the call threw, or no thread could run it: see error
};

constexpr std::string_view NodeOutcomeName(NodeOutcome outcome) {
    switch (outcome) {
    case NodeOutcome::Done:
        return "done";
    case NodeOutcome::TimedOut:
        return "timed out";
    case NodeOutcome::Failed:
        return "failed";
    }
    return "unknown";
}

template <class R> struct NodeResult {
    std::string node;
    NodeOutcome outcome = NodeOutcome::TimedOut;
    R result{};        // when Done
    std::string error; // when Failed
    std::chrono::microseconds elapsed{0};
};

struct FleetOptions {
    std::size_t parallel = 16; // calls running at once (at least 1)
    std::chrono::milliseconds timeout{60000};
};

namespace detail {

template <class Op, class R> struct FleetState {
    FleetState(Op o, std::size_t n) : op(std::move(o)), results(n), errors(n), finished(n, 0) {}
    std::mutex mu;
    std::condition_variable cv;
    const Op op;
    std::vector<std::optional<R>> results;
    std::vector<std::string> errors;
    std::vector<char> finished;
};

} // namespace detail

// Runs op(node) for every node, at most options.parallel at once, and returns
// one NodeResult per node in the order of nodes. op is copied once and called
// from several threads at the same time; a call abandoned at its time-out
// keeps running on that copy, so op must own what it uses (capture by value).
// Returns once every call has returned or timed out. A process that ends while
// abandoned calls run should end without running destructors (std::_Exit),
// since those calls are still inside the library.
template <class Op>
requires std::invocable<const Op &, const std::string &>
auto ForEachNode(const std::vector<std::string> &nodes, Op op, FleetOptions options = {})
    -> std::vector<NodeResult<std::invoke_result_t<const Op &, const std::string &>>> {
    using R = std::invoke_result_t<const Op &, const std::string &>;
    using Clock = std::chrono::steady_clock;
    const std::size_t n = nodes.size();
    const std::size_t parallel = std::max<std::size_t>(1, options.parallel);
    auto state = std::make_shared<detail::FleetState<Op, R>>(std::move(op), n);

    std::vector<NodeResult<R>> out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i].node = nodes[i];
    struct Running {
        std::size_t index;
        Clock::time_point started;
        std::thread thread;
    };
    std::vector<Running> running;
    // Room for every call at once up front: a thread, once made, must reach
    // the list without a throw in between.
    running.reserve(std::min(parallel, n));
    std::size_t next = 0;

    std::unique_lock<std::mutex> hold(state->mu);
    while (next < n || !running.empty()) {
        while (running.size() < parallel && next < n) {
            const std::size_t i = next++;
            try {
                std::thread thread([state, i, node = nodes[i]] {
                    std::optional<R> r;
                    std::string error;
                    try {
                        r.emplace(state->op(node));
                    } catch (const std::exception &e) {
                        error = e.what();
                    } catch (...) {
                        error = "the call threw";
                    }
                    const std::lock_guard<std::mutex> done(state->mu);
                    state->results[i] = std::move(r);
                    state->errors[i] = std::move(error);
                    state->finished[i] = 1;
                    state->cv.notify_all();
                });
                running.push_back({i, Clock::now(), std::move(thread)});
            } catch (const std::system_error &e) {
                out[i].outcome = NodeOutcome::Failed;
                out[i].error = std::string("no thread for the call: ") + e.what();
            }
        }
        if (running.empty()) continue;

        // Wake for the first call to end or the earliest time-out.
        auto earliest = running.front().started;
        for (const Running &r : running)
            earliest = std::min(earliest, r.started);
        state->cv.wait_until(hold, earliest + options.timeout, [&] {
            return std::any_of(running.begin(), running.end(), [&](const Running &r) { return state->finished[r.index]; });
        });

        const auto now = Clock::now();
        std::erase_if(running, [&](Running &r) {
            NodeResult<R> &row = out[r.index];
            row.elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now - r.started);
            if (state->finished[r.index]) {
                // Joined, so that the thread's own storage (the TLS library's
                // per-thread state among it) is gone before the caller goes on.
                r.thread.join();
                if (state->results[r.index]) {
                    row.outcome = NodeOutcome::Done;
                    row.result = std::move(*state->results[r.index]);
                } else {
                    row.outcome = NodeOutcome::Failed;
                    row.error = std::move(state->errors[r.index]);
                }
                return true;
            }
            if (now - r.started >= options.timeout) {
                row.outcome = NodeOutcome::TimedOut;
                r.thread.detach();
                return true;
            }
            return false;
        });
    }
    return out;
}

// The nodes that answer a broadcast within wait_ms of the last answer: the
// first string of each answer, each name once, in name order. The names are
// what the services say of themselves; discovery proves nothing about them.
inline Result<std::vector<std::string>> DiscoverNodes(const std::optional<std::string> &target,
                                                      std::uint32_t wait_ms) {
    Result<std::vector<BrowseAnswer>> found = Broadcast(target, wait_ms);
    std::vector<std::string> names;
    for (const BrowseAnswer &a : found.data)
        if (!a.first.empty()) names.push_back(a.first);
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return Result<std::vector<std::string>>{found.ok,     found.value,         found.status, std::move(found.message),
                                            found.source, std::move(names)};
}

} // namespace vexsrv

#endif // VEXSRV_CXX_LAYER_USABLE
