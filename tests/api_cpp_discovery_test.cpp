// The C++ layer's discovery: the C callback's 32-bit user value mapped to
// the caller's callable through the running broadcasts' table, and the
// sources of a broadcast's failures.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "vexsrv/discovery.h"

namespace vex::test {
namespace {

using vexsrv::Result;
using vexsrv::Source;

TEST(CppDiscovery, AnswersReachTheirOwnCallAndStrayIndexesNothing) {
    using vexsrv::BrowseAnswer;
    std::vector<BrowseAnswer> outer, inner;
    auto to_outer = [&outer](const BrowseAnswer &a) { outer.push_back(a); };
    auto to_inner = [&inner](const BrowseAnswer &a) { inner.push_back(a); };
    vexsrv::detail::BrowseSlot outer_slot = vexsrv::detail::SlotFor(to_outer);
    vexsrv::detail::BrowseSlot inner_slot = vexsrv::detail::SlotFor(to_inner);
    std::int32_t stale = 0;
    {
        const vexsrv::detail::SlotEntry o(outer_slot);
        {
            const vexsrv::detail::SlotEntry i(inner_slot);
            stale = i.index();
            vexsrv::detail::BrowseTrampoline("n", "s", "v", i.index());
            vexsrv::detail::BrowseTrampoline("n2", "s2", "v2", o.index());
        }
        vexsrv::detail::BrowseTrampoline("late", "", "", stale); // the inner call is over
        vexsrv::detail::BrowseTrampoline("bad", "", "", -1);
        vexsrv::detail::BrowseTrampoline("bad", "", "", std::numeric_limits<std::int32_t>::max());
    }
    vexsrv::detail::BrowseTrampoline("after", "", "", 0);
    EXPECT_EQ(inner, (std::vector<BrowseAnswer>{{"n", "s", "v"}}));
    EXPECT_EQ(outer, (std::vector<BrowseAnswer>{{"n2", "s2", "v2"}}));
}

TEST(CppDiscovery, AnExceptionFromTheCallableStopsDeliveryAndIsRethrownAfterwards) {
    int calls = 0;
    auto throwing = [&calls](const vexsrv::BrowseAnswer &) {
        ++calls;
        throw std::runtime_error("no thanks");
    };
    vexsrv::detail::BrowseSlot slot = vexsrv::detail::SlotFor(throwing);
    {
        const vexsrv::detail::SlotEntry entry(slot);
        vexsrv::detail::BrowseTrampoline("a", "b", "c", entry.index());
        vexsrv::detail::BrowseTrampoline("a", "b", "c", entry.index());
    }
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(static_cast<bool>(slot.error));
}

TEST(CppDiscovery, ARefusedTargetIsTheLibrarys) {
    int calls = 0;
    const Result<> refused =
        vexsrv::Broadcast(std::string("sixteen-chars-xx"), 10, [&calls](const vexsrv::BrowseAnswer &) { ++calls; });
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.source, Source::Library);
    EXPECT_EQ(refused.message, "Domain name or node name cannot be greater than 15 characters");
    EXPECT_EQ(calls, 0);
}

} // namespace
} // namespace vex::test
