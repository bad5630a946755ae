// One operation over many nodes (vexsrv/fleet.h): a result per node in the
// order given, bounded parallelism, and a node that never answers reported
// as timed out without holding back the others or the caller.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fake_service.h"
#include "vexsrv/fleet.h"
#include "vexsrv/service.h"

namespace vex::test {
namespace {

using namespace std::chrono_literals;
using vexsrv::ForEachNode;
using vexsrv::NodeOutcome;

TEST(CppFleet, EveryNodeGetsItsOwnResultInTheOrderGiven) {
    // Instances on this node stand in for nodes: the suffix picks one.
    FakeService a, b;
    a.Script(0, 7, "running");
    b.Script(3, 0, "stopped");
    const std::string missing = UniqueSuffix("gone");
    const auto rows = ForEachNode({b.suffix(), missing, a.suffix()}, [](const std::string &suffix) {
        return vexsrv::Service(".", suffix).StartDatabase();
    });
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].node, b.suffix());
    EXPECT_EQ(rows[1].node, missing);
    EXPECT_EQ(rows[2].node, a.suffix());
    for (const auto &row : rows)
        EXPECT_EQ(row.outcome, NodeOutcome::Done) << row.node;
    EXPECT_FALSE(rows[0].result.ok);
    EXPECT_EQ(rows[0].result.status, 3);
    EXPECT_EQ(rows[0].result.message, "stopped");
    EXPECT_EQ(rows[1].result.source, vexsrv::Source::System);
    EXPECT_EQ(rows[1].result.status, 2);
    EXPECT_TRUE(rows[2].result.ok);
    EXPECT_EQ(rows[2].result.value, 7);
    EXPECT_EQ(a.RequestCount() + b.RequestCount(), 2u);
}

TEST(CppFleet, NoMoreCallsRunAtOnceThanAllowed) {
    auto now_running = std::make_shared<std::atomic<int>>(0);
    auto most = std::make_shared<std::atomic<int>>(0);
    std::vector<std::string> nodes;
    for (char c = 'a'; c < 'a' + 12; ++c)
        nodes.push_back(std::string(2, c));
    const auto rows = ForEachNode(
        nodes,
        [now_running, most](const std::string &node) {
            const int n = ++*now_running;
            int seen = most->load();
            while (n > seen && !most->compare_exchange_weak(seen, n)) {
            }
            std::this_thread::sleep_for(5ms);
            --*now_running;
            return node.size();
        },
        {.parallel = 3, .timeout = 10s});
    EXPECT_LE(most->load(), 3);
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        EXPECT_EQ(rows[i].outcome, NodeOutcome::Done);
        EXPECT_EQ(rows[i].result, 2u);
        EXPECT_EQ(rows[i].node, nodes[i]);
    }
}

TEST(CppFleet, ANodeThatNeverAnswersTimesOutAloneAndIsLeftBehind) {
    // The silent node's call blocks until the test lets it go, after the
    // fleet has returned: nothing waited for it but its time-out.
    auto release = std::make_shared<std::promise<void>>();
    std::shared_future<void> released = release->get_future().share();
    auto calls = std::make_shared<std::atomic<int>>(0);
    const auto rows = ForEachNode(
        {"quick1", "silent", "quick2", "quick3", "thrower"},
        [released, calls](const std::string &node) -> int {
            ++*calls;
            if (node == "silent") released.wait();
            if (node == "thrower") throw std::runtime_error("no such node");
            return static_cast<int>(node.size());
        },
        {.parallel = 2, .timeout = 300ms});
    EXPECT_EQ(rows[0].outcome, NodeOutcome::Done);
    EXPECT_EQ(rows[1].outcome, NodeOutcome::TimedOut);
    EXPECT_EQ(rows[2].outcome, NodeOutcome::Done);
    EXPECT_EQ(rows[3].outcome, NodeOutcome::Done);
    EXPECT_EQ(rows[3].result, 6);
    EXPECT_EQ(rows[4].outcome, NodeOutcome::Failed);
    EXPECT_EQ(rows[4].error, "no such node");
    EXPECT_EQ(calls->load(), 5);
    release->set_value();
}

TEST(CppFleet, NoNodesNoCalls) {
    const auto rows = ForEachNode({}, [](const std::string &) { return 1; });
    EXPECT_TRUE(rows.empty());
}

} // namespace
} // namespace vex::test
