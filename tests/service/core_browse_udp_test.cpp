// Answers to browse requests from other nodes (Linux): which datagrams get
// one, what it carries, and how many answers a source gets.
#include <gtest/gtest.h>

#if !defined(_WIN32)

#include <chrono>
#include <string>
#include <vector>

#include "service/browse_udp.h"
#include "tests/support/wire.h"

namespace taskd::test {
namespace {

using vex::test::Bytes;
using vex::test::BrowseRequest;
using vex::test::PutBE32;
using namespace std::chrono_literals;

std::uint32_t BE32(const std::uint8_t *p) { return std::uint32_t{p[0]} << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

Bytes Datagram(const std::string &path, const Bytes &message) { return vex::test::MailslotDatagram(path, message); }

const BrowseIdentity kIdentity{"PLANT7", "Kestrane Tidewell Task Service_B", "1.0.0"};

TEST(BrowseDatagram, AnAnswerGoesBackForTheReplyMailslotTheRequestNames) {
    const Bytes in = Datagram("tidewell\\BROWSE", BrowseRequest("CLIENT", "\\\\CLIENT\\mailslot\\Tidewell\\BrowseR\\1a2b"));
    const auto out = AnswerBrowseDatagram(in.data(), in.size(), kIdentity);
    ASSERT_TRUE(out.has_value());
    const std::string path = "Tidewell\\BrowseR\\1a2b";
    ASSERT_GT(out->size(), 8 + path.size());
    EXPECT_EQ(Bytes(out->begin(), out->begin() + 6), (Bytes{'T', 'W', 'M', 'S', 1, static_cast<std::uint8_t>(path.size())}));
    EXPECT_EQ(std::string(out->begin() + 8, out->begin() + 8 + static_cast<long>(path.size())), path);
    const std::uint8_t *m = out->data() + 8 + path.size();
    const std::size_t m_size = out->size() - 8 - path.size();
    EXPECT_EQ((*out)[6] << 8 | (*out)[7], static_cast<int>(m_size));
    ASSERT_LE(m_size, 128u);
    EXPECT_STREQ(reinterpret_cast<const char *>(m + BE32(m + 12)), "PLANT7");
    EXPECT_STREQ(reinterpret_cast<const char *>(m + BE32(m + 16)), "Kestrane Tidewell Task Service_B");
    EXPECT_STREQ(reinterpret_cast<const char *>(m + BE32(m + 20)), "1.0.0");
}

TEST(BrowseDatagram, HostileOrForeignDatagramsGetNoAnswer) {
    const Bytes request = BrowseRequest("CLIENT", "\\\\CLIENT\\mailslot\\Tidewell\\BrowseR\\1a2b");
    const Bytes good = Datagram("Tidewell\\Browse", request);
    Bytes lengths_disagree = good;
    lengths_disagree[7] -= 1;
    Bytes bad_version = good;
    bad_version[4] = 2;
    Bytes past_end = request;
    PutBE32(past_end, 16, 500); // reply-path offset past the end
    const std::vector<std::pair<std::string, Bytes>> cases = {
        {"empty", {}},
        {"short", {'T', 'W', 'M', 'S', 1}},
        {"long", Bytes(2000, 'A')},
        {"lengths disagree", lengths_disagree},
        {"version 2", bad_version},
        {"another mailslot", Datagram("Tidewell\\BrowseR\\1", request)},
        {"offset out of range", Datagram("Tidewell\\Browse", past_end)},
        {"reply path not a browse reply", Datagram("Tidewell\\Browse", BrowseRequest("CLIENT", "\\\\CLIENT\\mailslot\\other"))},
        {"from this node", Datagram("Tidewell\\Browse", BrowseRequest("plant7", "\\\\PLANT7\\mailslot\\Tidewell\\BrowseR\\1"))},
    };
    for (const auto &[name, bytes] : cases)
        EXPECT_FALSE(AnswerBrowseDatagram(bytes.data(), bytes.size(), kIdentity).has_value()) << name;
}

TEST(BrowseRateLimit, EachSourceGetsItsBurstThenItsRateAndAllTogetherAreBounded) {
    AnswerRateLimit::Limits limits;
    limits.per_source_rate = 2;
    limits.per_source_burst = 3;
    limits.total_rate = 10;
    limits.total_burst = 5;
    limits.max_sources = 4;
    AnswerRateLimit limit(limits);
    const auto t0 = AnswerRateLimit::Clock::now();
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(limit.Allow(1, t0));
    EXPECT_FALSE(limit.Allow(1, t0)); // its burst is spent
    EXPECT_TRUE(limit.Allow(2, t0));
    EXPECT_TRUE(limit.Allow(3, t0));
    EXPECT_FALSE(limit.Allow(4, t0)); // all together: 5 at once
    // Half a second later: one more for source 1, five more in all.
    const auto t1 = t0 + 500ms;
    EXPECT_TRUE(limit.Allow(1, t1));
    EXPECT_FALSE(limit.Allow(1, t1));


    // The table holds four sources; a fifth waits until one has gone quiet.
    limits.total_burst = 100;
    AnswerRateLimit table(limits);
    for (std::uint32_t source = 1; source <= 4; ++source)
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(table.Allow(source, t0));
    EXPECT_FALSE(table.Allow(5, t0));
    EXPECT_EQ(table.sources(), 4u);
    EXPECT_TRUE(table.Allow(5, t0 + 10s)); // every bucket full again: forgotten
    EXPECT_LE(table.sources(), 4u);
}

} // namespace
} // namespace taskd::test

#endif
