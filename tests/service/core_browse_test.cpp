// Answers to browse requests, decided without a mailslot.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/browse_responder.h"
#include "tests/support/wire.h"

namespace taskd::test {
namespace {

using vex::test::Bytes;
using vex::test::BrowseRequest;
using vex::test::PutBE32;

std::uint32_t BE32(const Bytes &b, std::size_t off) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | b.at(off + i);
    return v;
}
std::string StringAt(const Bytes &b, std::size_t off) {
    std::string s;
    while (off < b.size() && b[off] != 0) s += static_cast<char>(b[off++]);
    return s;
}


const BrowseIdentity kIdentity{"PLANT7", "Kestrane Tidewell Task Service_B", "1.0.0"};

TEST(BrowseAnswer, CarriesNodeDisplayNameAndVersionToTheReplyPath) {
    const Bytes request = BrowseRequest("CLIENT", "\\\\CLIENT\\mailslot\\Tidewell\\BrowseR\\1a2b");
    const auto answer = AnswerBrowseRequest(request.data(), request.size(), kIdentity);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->reply_path, "\\\\CLIENT\\mailslot\\Tidewell\\BrowseR\\1a2b");
    const Bytes &m = answer->message;
    EXPECT_LE(m.size(), 128u);
    EXPECT_EQ(StringAt(m, BE32(m, 12)), "PLANT7");
    EXPECT_EQ(StringAt(m, BE32(m, 16)), "Kestrane Tidewell Task Service_B");
    EXPECT_EQ(StringAt(m, BE32(m, 20)), "1.0.0");
}

TEST(BrowseAnswer, ThisNodesReplyPathIsReachedLocally) {
    const Bytes request = BrowseRequest("PLANT7", "\\\\plant7\\mailslot\\Tidewell\\BrowseR\\ff");
    const auto answer = AnswerBrowseRequest(request.data(), request.size(), kIdentity);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->reply_path, "\\\\.\\mailslot\\Tidewell\\BrowseR\\ff");
}

TEST(BrowseAnswer, MalformedRequestsGetNoAnswer) {
    const Bytes good = BrowseRequest("CLIENT", "\\\\CLIENT\\mailslot\\Tidewell\\BrowseR\\1");
    auto refused = [](const Bytes &b) { return !AnswerBrowseRequest(b.data(), b.size(), kIdentity).has_value(); };
    EXPECT_FALSE(refused(good));
    EXPECT_TRUE(refused(Bytes{}));
    EXPECT_TRUE(refused(Bytes(good.begin(), good.begin() + 20)));
    Bytes cut = good;
    cut.pop_back(); // the reply path loses its zero
    EXPECT_TRUE(refused(cut));
    Bytes far = good;
    PutBE32(far, 16, 5000); // an offset outside the packet
    EXPECT_TRUE(refused(far));
    Bytes fixed = good;
    PutBE32(fixed, 4, 2);
    EXPECT_TRUE(refused(fixed));
    // Only browse reply mailslots are answered.
    EXPECT_TRUE(refused(BrowseRequest("CLIENT", "\\\\CLIENT\\mailslot\\Other\\Slot")));
    EXPECT_TRUE(refused(BrowseRequest("CLIENT", "\\\\CLIENT\\mailslot\\Tidewell\\BrowseR\\")));
    EXPECT_TRUE(refused(BrowseRequest("CLIENT", "\\\\CLIENT\\pipe\\Tidewell\\BrowseR\\1")));
}

TEST(BrowseAnswer, LongDisplayNamesAreCutToFitOneMessage) {
    const BrowseIdentity fitted =
        FitBrowseIdentity({"PLANT7", "Kestrane Tidewell Task Service" + std::string(63, 'x'), "1.0.0"});
    EXPECT_EQ(24 + fitted.node_name.size() + fitted.display_name.size() + fitted.version.size() + 3, 128u);
    EXPECT_EQ(fitted.node_name, "PLANT7");
    EXPECT_EQ(fitted.version, "1.0.0");
    const Bytes request = BrowseRequest("C", "\\\\C\\mailslot\\Tidewell\\BrowseR\\1");
    EXPECT_TRUE(AnswerBrowseRequest(request.data(), request.size(), fitted).has_value());
}

} // namespace
} // namespace taskd::test
