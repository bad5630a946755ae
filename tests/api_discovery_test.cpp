// VexSrv_Broadcast through the built library, against a responder that holds
// the local browse mailslot. Under Wine only "\\?\" reaches the browse
// mailslot, so the broadcasts there name the target "?"; elsewhere no target
// ("*") and this computer's own names reach it as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/browse_responder.h"
#include "tests/support/local_host.h"
#include "tests/support/system_text.h"
#include "tests/support/wire.h"
#include "vexsrvapi.h"

namespace vex::test {
namespace {

#if defined(_WIN32)
const char *const kLocalTarget = "?";
#else
const char *const kLocalTarget = nullptr;
#endif
// Long enough that a responder on a busy machine answers within it; nothing
// here depends on how long a broadcast takes.
constexpr std::uint32_t kAnswerWaitMs = 2000;

void PutBE32(Bytes &b, std::size_t off, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.at(off + i) = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// An answer: 24 header bytes with the three offsets, then the tail.
Bytes Answer(std::uint32_t first, std::uint32_t second, std::uint32_t third, const std::string &tail) {
    Bytes b = Zeros(24 + tail.size());
    PutBE32(b, 12, first);
    PutBE32(b, 16, second);
    PutBE32(b, 20, third);
    std::copy(tail.begin(), tail.end(), b.begin() + 24);
    return b;
}
// "N\0S\0D\0" after the header: name, suffix, description of one service.
Bytes ServiceAnswer(const std::string &node, const std::string &suffix, const std::string &text) {
    const auto second = static_cast<std::uint32_t>(24 + node.size() + 1);
    const auto third = static_cast<std::uint32_t>(second + suffix.size() + 1);
    return Answer(24, second, third, node + '\0' + suffix + '\0' + text + '\0');
}

struct Delivered {
    std::string first, second, third;
    std::int32_t user_value;
    std::thread::id thread;
};
std::vector<Delivered> g_delivered;

void VEXSRV_CDECL Collect(const char *first, const char *second, const char *third, int32_t user_value) {
    g_delivered.push_back({first, second, third, user_value, std::this_thread::get_id()});
}

std::string Text(const char *buf, std::size_t size) {
    return std::string(buf, std::find(buf, buf + size, '\0'));
}

class Broadcast : public ::testing::Test {
  protected:
    void SetUp() override {
        g_delivered.clear();
        std::memset(msg, '#', sizeof msg);
    }
    std::string Message() const { return Text(msg, sizeof msg); }
    char msg[400];
};

TEST_F(Broadcast, RequestIsByteExactForThisComputerAndProcess) {
    BrowseResponder responder;
    EXPECT_EQ(VexSrv_Broadcast("?", 0, Collect, 0, msg, sizeof msg), 1);
    ASSERT_EQ(responder.WaitForRequests(1), 1u);

    const std::string name = LocalComputerName();
    ASSERT_FALSE(name.empty());
    const std::string reply_path = "\\\\" + name + "\\mailslot\\Tidewell\\BrowseR\\" + Hex(CurrentProcessId());
    const std::size_t n = name.size(), m = reply_path.size();
    Bytes expected = Zeros(28 + (n + 1) + (m + 1));
    PutBE32(expected, 0, static_cast<std::uint32_t>(expected.size()));
    PutBE32(expected, 4, 1);
    PutBE32(expected, 8, 1);
    PutBE32(expected, 12, 28);
    PutBE32(expected, 16, static_cast<std::uint32_t>(28 + n + 1));
    PutStr(expected, 28, name);
    PutStr(expected, 28 + n + 1, reply_path);
    EXPECT_BYTES_EQ(expected, responder.Requests()[0]);
    EXPECT_EQ(Message(), "");
}

TEST_F(Broadcast, AnswersArriveOnceEachInOrderOnTheCallersThreadAndHostileOnesAreDropped) {
    BrowseResponder responder({
        ServiceAnswer("PLANT7", "_A", "first"),
        Answer(24, 24, 60, std::string("short\0", 6)), // third offset past the bytes
        ServiceAnswer("PLANT8", "", "second"),
        Answer(24, 24, 24, std::string(400, 'z')), // too long, and no NUL in the buffer
        Bytes{1, 2, 3},                            // no header
        ServiceAnswer("PLANT9", "_C", "third"),
    });
    EXPECT_EQ(VexSrv_Broadcast(kLocalTarget, kAnswerWaitMs, Collect, -5, msg, sizeof msg), 1);
    EXPECT_EQ(Message(), "");
    EXPECT_TRUE(responder.AnswerErrors().empty());
    ASSERT_EQ(g_delivered.size(), 3u);
    const char *const expected[3][3] = {{"PLANT7", "_A", "first"}, {"PLANT8", "", "second"}, {"PLANT9", "_C", "third"}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(g_delivered[i].first, expected[i][0]);
        EXPECT_EQ(g_delivered[i].second, expected[i][1]);
        EXPECT_EQ(g_delivered[i].third, expected[i][2]);
        EXPECT_EQ(g_delivered[i].user_value, -5);
        EXPECT_EQ(g_delivered[i].thread, std::this_thread::get_id());
    }
}

std::int32_t g_inner_result;
char g_inner_msg[300];

void VEXSRV_CDECL BroadcastAgain(const char *, const char *, const char *, int32_t) {
    g_inner_result = VexSrv_Broadcast("?", 0, Collect, 0, g_inner_msg, sizeof g_inner_msg);
}

TEST_F(Broadcast, ASecondBroadcastWhileOneRunsCannotOpenItsMailslot) {
    BrowseResponder responder({ServiceAnswer("PLANT7", "", "x")});
    g_inner_result = -1;
    EXPECT_EQ(VexSrv_Broadcast(kLocalTarget, kAnswerWaitMs, BroadcastAgain, 0, msg, sizeof msg), 1);
    EXPECT_EQ(g_inner_result, 0);
    EXPECT_EQ(Text(g_inner_msg, sizeof g_inner_msg), "Cannot open mailslot(\\\\.\\mailslot\\Tidewell\\BrowseR\\" +
                                                         Hex(CurrentProcessId()) +
                                                         ") as server, error = " + SystemText(183));
    EXPECT_EQ(responder.WaitForRequests(1), 1u);
}

TEST_F(Broadcast, NoAnswerGivesOneAfterOneTimeOut) {
    BrowseResponder responder;
    for (std::uint32_t timeout : {0u, 100u}) {
        std::memset(msg, '#', sizeof msg);
        EXPECT_EQ(VexSrv_Broadcast(kLocalTarget, timeout, Collect, 0, msg, sizeof msg), 1);
        EXPECT_EQ(Message(), "");
    }
    EXPECT_EQ(responder.WaitForRequests(2), 2u);
    EXPECT_TRUE(g_delivered.empty());
}

TEST_F(Broadcast, FailuresAndRefusalsCarryTheirMessages) {
    // A leading "." leaves an empty target, which names no computer.
    EXPECT_EQ(VexSrv_Broadcast(".corp.example", 0, Collect, 0, msg, sizeof msg), 0);
    EXPECT_EQ(Message(),
              "Cannot open mailslot ('\\\\\\mailslot\\Tidewell\\Browse') as client, Error = " + SystemText(3));

#if defined(_WIN32)
    const std::uint32_t remote = 3; // Wine reaches no other node
#else
    const std::uint32_t remote = 53;
#endif
    // Fifteen characters before the first "." are taken.
    std::memset(msg, '#', sizeof msg);
    EXPECT_EQ(VexSrv_Broadcast("NO-SUCH-NODE-15.corp", 0, Collect, 0, msg, sizeof msg), 0);
    EXPECT_EQ(Message(),
              "Cannot open mailslot ('\\\\NO-SUCH-NODE-15\\mailslot\\Tidewell\\Browse') as client, Error = " +
                  SystemText(remote));

    std::memset(msg, '#', sizeof msg);
    EXPECT_EQ(VexSrv_Broadcast("NO-SUCH-NODE-016.corp", 0, Collect, 0, msg, sizeof msg), 0);
    EXPECT_EQ(Message(), "Domain name or node name cannot be greater than 15 characters");

    std::memset(msg, '#', sizeof msg);
    EXPECT_EQ(VexSrv_Broadcast(kLocalTarget, 0, nullptr, 0, msg, sizeof msg), 0);
    EXPECT_EQ(Message(), "callback should be defined");
    EXPECT_TRUE(g_delivered.empty());
}

#if !defined(_WIN32)

TEST_F(Broadcast, ThisComputersNamesReachTheLocalBrowseMailslot) {
    BrowseResponder responder;
    const std::string name = LocalComputerName();
    std::string lower = name;
    for (char &c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string targets[] = {name, lower, name + ".corp.example"};
    for (const std::string &target : targets)
        EXPECT_EQ(VexSrv_Broadcast(target.c_str(), 0, Collect, 0, msg, sizeof msg), 1) << target << ": " << Message();
    EXPECT_EQ(responder.WaitForRequests(3), 3u);
}

#endif

} // namespace
} // namespace vex::test
