// Database status, exclusive lock, permissions, version, audit trail, group
// configuration and snapshots, through the built library against the fake
// service. The status operations probe the node first: node "." is no host
// name and is not probed; unreachable nodes are namespace hosts of the test's
// own.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/support/fake_service.h"
#include "tests/support/netns.h"
#include "tests/support/system_text.h"
#include "tests/support/wire.h"
#include "vexsrvapi.h"

namespace vex::test {
namespace {

// A long reply with status and value, for the operations that read data.
Bytes LongReply(std::int32_t status, std::int32_t value) {
    return MakeReply(status, value, "", 8024);
}

void PutBytes(Bytes &b, std::size_t off, const std::string &s) {
    for (std::size_t i = 0; i < s.size(); ++i)
        b.at(off + i) = static_cast<std::uint8_t>(s[i]);
}

// ---- Database status ----------------------------------------------------

TEST(GetTidewellStatus, SendsOperation19AndHandsBackTheReply) {
    FakeService svc;
    svc.Script(0, 3, "running");
    svc.Script(4, -2, "");
    int32_t value = -9, status = -9;
    char msg[32];
    EXPECT_EQ(VexSrv_GetTidewellStatus(".", svc.suffix().c_str(), &value, &status, msg, sizeof msg), 1);
    EXPECT_EQ(value, 3);
    EXPECT_EQ(status, 0);
    EXPECT_STREQ(msg, "running");
    EXPECT_EQ(VexSrv_GetTidewellStatus(".", svc.suffix().c_str(), &value, &status, msg, sizeof msg), 0);
    EXPECT_EQ(value, -2);
    EXPECT_EQ(status, 4);
    EXPECT_STREQ(msg, "");
    ASSERT_EQ(svc.RequestCount(), 2u);
    EXPECT_BYTES_EQ(Request(19), svc.Requests()[0]);
}

TEST(GetTidewellStatus, FailedExchangeLeavesTheValueAtZero) {
    const std::string sfx = UniqueSuffix("_absent");
    int32_t value = 77, status = 0;
    char msg[300];
    EXPECT_EQ(VexSrv_GetTidewellStatus(".", sfx.c_str(), &value, &status, msg, sizeof msg), 0);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(std::string(msg).substr(0, 27), "Cannot connect to service '");
}

TEST(SetTidewellStatus, SendsTheValueAtOffset12AndReplacesItWithTheAnswer) {
    FakeService svc;
    svc.Script(0, 12, "set");
    int32_t value = -7, status = -9;
    char msg[32];
    EXPECT_EQ(VexSrv_SetTidewellStatus(".", svc.suffix().c_str(), &value, &status, msg, sizeof msg), 1);
    ASSERT_EQ(svc.RequestCount(), 1u);
    Bytes expected = Request(26);
    PutLE32(expected, 12, 0xFFFFFFF9u);
    EXPECT_BYTES_EQ(expected, svc.Requests()[0]);
    EXPECT_EQ(value, 12);
    EXPECT_EQ(status, 0);
    EXPECT_STREQ(msg, "set");

    // A failed exchange keeps the caller's value.
    svc.ScriptHangUp();
    value = 5;
    EXPECT_EQ(VexSrv_SetTidewellStatus(".", svc.suffix().c_str(), &value, &status, msg, sizeof msg), 0);
    EXPECT_EQ(value, 5);
    EXPECT_NE(status, 0);
    EXPECT_EQ(std::string(msg), SystemText(static_cast<std::uint32_t>(status)));
}

TEST(CheckTidewell, SendsOperation9Then6AndReadsBothValues) {
    FakeService svc;
    svc.Script(0, 11, "first");
    svc.Script(0, 22, "second");
    int32_t first = -1, second = -1, status = -1;
    char msg[32];
    EXPECT_EQ(VexSrv_CheckTidewell(".", svc.suffix().c_str(), &first, &second, &status, msg, sizeof msg), 1);
    EXPECT_EQ(first, 11);
    EXPECT_EQ(second, 22);
    EXPECT_EQ(status, 0);
    EXPECT_STREQ(msg, "second");
    const auto reqs = svc.Requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_BYTES_EQ(Request(9), reqs[0]);
    EXPECT_BYTES_EQ(Request(6), reqs[1]);
}

TEST(CheckTidewell, StopsAfterANonZeroFirstStatus) {
    FakeService svc;
    svc.Script(5, 8, "not now");
    int32_t first = -1, second = -1, status = -1;
    char msg[32];
    EXPECT_EQ(VexSrv_CheckTidewell(".", svc.suffix().c_str(), &first, &second, &status, msg, sizeof msg), 0);
    EXPECT_EQ(status, 5);
    EXPECT_EQ(first, 8);
    EXPECT_EQ(second, 0);
    EXPECT_STREQ(msg, "not now");
    EXPECT_EQ(svc.RequestCount(), 1u);
}

TEST(CheckTidewell, SecondExchangeThatFailsKeepsTheFirstValue) {
    FakeService svc;
    svc.Script(0, 31, "first");
    svc.ScriptHangUp();
    svc.Script(0, 32, "first");
    svc.Script(0, 1, "too long", 537);
    int32_t first = -1, second = -1, status = -1;
    char msg[128];
    EXPECT_EQ(VexSrv_CheckTidewell(".", svc.suffix().c_str(), &first, &second, &status, msg, sizeof msg), 0);
    EXPECT_EQ(first, 31);
    EXPECT_EQ(second, 0);
    EXPECT_NE(status, 0);
    EXPECT_NE(status, 2);
    EXPECT_EQ(std::string(msg), SystemText(static_cast<std::uint32_t>(status)));

    EXPECT_EQ(VexSrv_CheckTidewell(".", svc.suffix().c_str(), &first, &second, &status, msg, sizeof msg), 0);
    EXPECT_EQ(first, 32);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(status, 234);
    EXPECT_EQ(std::string(msg), SystemText(234));
    EXPECT_EQ(svc.RequestCount(), 4u);
}

TEST(CheckTidewell, SecondAnswerReusesTheRecordsWithoutClearing) {
    FakeService svc;
    svc.Script(0, 41, "kept");
    svc.Script(MakeReply(0, 0, "", 16)); // covers the status, not the value or text
    int32_t first = -1, second = -1, status = -1;
    char msg[32];
    EXPECT_EQ(VexSrv_CheckTidewell(".", svc.suffix().c_str(), &first, &second, &status, msg, sizeof msg), 1);
    EXPECT_EQ(first, 41);
    EXPECT_EQ(second, 41);
    EXPECT_STREQ(msg, "kept");
}

TEST(StatusOperations, ReachableNodeGoesOnToTheExchange) {
    FakeService svc;
    int32_t value = -1, status = -1;
    char msg[300];
    const int32_t result =
        VexSrv_GetTidewellStatus("127.0.0.1", svc.suffix().c_str(), &value, &status, msg, sizeof msg);
#if defined(_WIN32)
    // The pipe of a node given by address is out of Wine's reach.
    EXPECT_EQ(result, 0);
    EXPECT_EQ(status, 3);
    EXPECT_EQ(std::string(msg), SystemText(3));
#else
    EXPECT_EQ(result, 1);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(svc.RequestCount(), 1u);
#endif
}

TEST(StatusOperations, RefusedAddressSendsNoEchoAndNothingElse) {
    int32_t value = 5, first = 6, status = 7;
    char msg[80];
    EXPECT_EQ(VexSrv_GetTidewellStatus(nullptr, "", &value, &status, msg, sizeof msg), 0);
    EXPECT_STREQ(msg, "node name should be defined");
    EXPECT_EQ(status, 7);
    const std::string node(480, 'n');
    EXPECT_EQ(VexSrv_CheckTidewell(node.c_str(), "sssssssss", &first, &value, &status, msg, sizeof msg), 0);
    EXPECT_STREQ(msg, "Node name and service suffix are too long for a pipe name");
    EXPECT_EQ(status, 7);
}

TEST(StatusOperations, UnreachableNodeIsReportedWithStatusZeroAndNothingSent) {
    SilentHost host;
    if (!host.ok()) GTEST_SKIP() << host.why();
    const char *node = host.address().c_str();
    int32_t first = 1, second = 2, value = 3, status = 4;
    char msg[32];
    std::memset(msg, '#', sizeof msg);
    EXPECT_EQ(VexSrv_CheckTidewell(node, "", &first, &second, &status, msg, sizeof msg), 0);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(std::string(msg, sizeof msg), "Host is unreachable" + std::string(13, '\0'));

    status = 4;
    EXPECT_EQ(VexSrv_GetTidewellStatus(node, "", &value, &status, msg, sizeof msg), 0);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(status, 0);
    EXPECT_STREQ(msg, "Host is unreachable");

    // The value to set stays; a buffer of length 0 receives nothing.
    status = 4;
    value = 99;
    std::memset(msg, '#', sizeof msg);
    EXPECT_EQ(VexSrv_SetTidewellStatus(node, "", &value, &status, msg, 0), 0);
    EXPECT_EQ(value, 99);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(std::string(msg, sizeof msg), std::string(sizeof msg, '#'));
}

#if !defined(_WIN32)
TEST(StatusOperations, NodeThatDoesNotResolveIsLeftToThePipe) {
    const std::string why = RunInPrivateNetwork([] {
        int32_t value = 1, status = 0;
        char msg[128];
        EXPECT_EQ(VexSrv_GetTidewellStatus("no-such-node.invalid", "", &value, &status, msg, sizeof msg), 0);
        EXPECT_EQ(status, 53);
        EXPECT_EQ(std::string(msg), SystemText(53));
    });
    if (!why.empty()) GTEST_SKIP() << why;
}
#endif

// ---- Exclusive lock -------------------------------------------------------

TEST(GetExclLock, HandsOutTheTokenFromOffset8) {
    FakeService svc;
    Bytes reply = MakeReply(0, 4, "locked");
    PutLE32(reply, 8, 0x1234ABCDu);
    svc.Script(reply);
    int32_t token = 0, value = 0, status = -1;
    char msg[32];
    EXPECT_EQ(VexSrv_GetExclLock(".", svc.suffix().c_str(), &token, &value, &status, msg, sizeof msg), 1);
    EXPECT_EQ(token, 0x1234ABCD);
    EXPECT_EQ(value, 4);
    EXPECT_EQ(status, 0);
    EXPECT_STREQ(msg, "locked");
    ASSERT_EQ(svc.RequestCount(), 1u);
    EXPECT_BYTES_EQ(Request(10), svc.Requests()[0]);
}

TEST(GetExclLock, TokenIsMinusOneAfterEveryFailure) {
    FakeService svc;
    Bytes refused = MakeReply(6, 9, "held by another");
    PutLE32(refused, 8, 77);
    svc.Script(refused);
    svc.ScriptHangUp();
    svc.Script(0, 0, "", 537);
    const char *sfx = svc.suffix().c_str();
    int32_t token = 5, value = 0, status = 0;
    char msg[300];

    EXPECT_EQ(VexSrv_GetExclLock(".", sfx, &token, &value, &status, msg, sizeof msg), 0);
    EXPECT_EQ(token, -1);
    EXPECT_EQ(status, 6);
    EXPECT_EQ(value, 9);
    EXPECT_STREQ(msg, "held by another");
    token = 5;
    EXPECT_EQ(VexSrv_GetExclLock(".", sfx, &token, &value, &status, msg, sizeof msg), 0);
    EXPECT_EQ(token, -1);
    token = 5;
    EXPECT_EQ(VexSrv_GetExclLock(".", sfx, &token, &value, &status, msg, sizeof msg), 0);
    EXPECT_EQ(token, -1);
    EXPECT_EQ(status, 234);
    token = 5;
    EXPECT_EQ(VexSrv_GetExclLock(".", UniqueSuffix("_absent").c_str(), &token, &value, &status, msg, sizeof msg), 0);
    EXPECT_EQ(token, -1);
    EXPECT_EQ(status, 2);
    token = 5;
    EXPECT_EQ(VexSrv_GetExclLock(nullptr, sfx, &token, &value, &status, msg, sizeof msg), 0);
    EXPECT_EQ(token, -1);
    EXPECT_STREQ(msg, "node name should be defined");
}

TEST(GiveExclLock, SendsTheTokenAtOffset8WhateverItIs) {
    FakeService svc;
    svc.Script(0, 1, "");
    svc.Script(3, 2, "no such lock");
    int32_t value = 0, status = 0;
    char msg[32];
    EXPECT_EQ(VexSrv_GiveExclLock(0x1234ABCD, ".", svc.suffix().c_str(), &value, &status, msg, sizeof msg), 1);
    EXPECT_EQ(VexSrv_GiveExclLock(-1, ".", svc.suffix().c_str(), &value, &status, msg, sizeof msg), 0);
    EXPECT_EQ(status, 3);
    EXPECT_EQ(value, 2);
    EXPECT_STREQ(msg, "no such lock");
    const auto reqs = svc.Requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_BYTES_EQ(Request(11, 0x1234ABCD), reqs[0]);
    EXPECT_BYTES_EQ(Request(11, -1), reqs[1]);
}

// ---- Permissions ----------------------------------------------------------

TEST(GetDBPermis, SendsTheQueryAndReadsTheWordsWhenTheLowHalfOfTheValueIsZero) {
    FakeService svc;
    Bytes reply = LongReply(0, 0x12340000); // only the high half set: reads 0
    PutBytes(reply, 24, "\x01\x02\x03\x04\xF5\xF6\xF7\xF8");
    svc.Script(reply);
    uint32_t first = 0, second = 0;
    int32_t value = -1, status = -1;
    char msg[32] = "";
    EXPECT_EQ(VexSrv_GetDBPermis(".", svc.suffix().c_str(), -2, &first, &second, &value, &status, msg, sizeof msg), 1);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(first, 0x04030201u);
    EXPECT_EQ(second, 0xF8F7F6F5u);
    EXPECT_STREQ(msg, ""); // the data area holds the words, not a text
    ASSERT_EQ(svc.RequestCount(), 1u);
    Bytes expected = Request(22);
    PutLE32(expected, 12, 0xFFFFFFFEu);
    EXPECT_BYTES_EQ(expected, svc.Requests()[0]);
}

TEST(GetDBPermis, ValueWithLowHalfFFFFReadsMinusOneAndGivesTheText) {
    FakeService svc;
    Bytes reply = LongReply(0, 0x0000FFFF);
    PutBytes(reply, 24, "no rights");
    svc.Script(reply);
    reply = LongReply(9, 0);
    svc.Script(reply);
    uint32_t first = 7, second = 7;
    int32_t value = 0, status = -1;
    char msg[32];
    // The status decides the result: 1 with both words 0.
    EXPECT_EQ(VexSrv_GetDBPermis(".", svc.suffix().c_str(), 1, &first, &second, &value, &status, msg, sizeof msg), 1);
    EXPECT_EQ(value, -1);
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(second, 0u);
    EXPECT_STREQ(msg, "no rights");
    EXPECT_EQ(VexSrv_GetDBPermis(".", svc.suffix().c_str(), 1, &first, &second, &value, &status, msg, sizeof msg), 0);
    EXPECT_EQ(status, 9);
}

// ---- Version --------------------------------------------------------------

constexpr char kOffline[] = "Target computer is offline.";
constexpr char kUnsupported[] = "Target system does not support DB version requests.";

Bytes VersionReply(std::uint32_t outcome, const std::string &text) {
    Bytes reply = LongReply(0x5A5A, static_cast<std::int32_t>(outcome)); // the status word is not read
    PutLE32(reply, 24, 7);
    PutLE32(reply, 28, 3);
    PutLE32(reply, 32, 0xFFFFFFFEu);
    PutBytes(reply, 36, text);
    return reply;
}

TEST(GetDBVersion, ReadsTheOutcomeFromTheValuesLowHalfAndNeverWritesTheMessage) {
    FakeService svc;
    svc.Script(VersionReply(0x00030000, "7.3 build 12"));
    int32_t status = -9, v1 = 0, v2 = 0, v3 = 0;
    char text[64];
    char msg[8] = "XXXXXXX";
    EXPECT_EQ(
        VexSrv_GetDBVersion(".", svc.suffix().c_str(), &status, &v1, &v2, &v3, text, sizeof text, msg, sizeof msg), 1);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(v1, 7);
    EXPECT_EQ(v2, 3);
    EXPECT_EQ(v3, -2);
    EXPECT_STREQ(text, "7.3 build 12");
    EXPECT_EQ(std::string(msg, sizeof msg), std::string("\0XXXXXX\0", 8)); // cleared on entry only
    ASSERT_EQ(svc.RequestCount(), 1u);
    EXPECT_BYTES_EQ(Request(23), svc.Requests()[0]);
}

TEST(GetDBVersion, OutcomeWithLowHalfFFFFIsUnsupported) {
    FakeService svc;
    svc.Script(VersionReply(0x0000FFFF, "ignored"));
    int32_t status = 0, v1 = 5, v2 = 5, v3 = 5;
    char text[64];
    char msg[8] = "XXXXXXX";
    EXPECT_EQ(
        VexSrv_GetDBVersion(".", svc.suffix().c_str(), &status, &v1, &v2, &v3, text, sizeof text, msg, sizeof msg), 0);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(v1, -1);
    EXPECT_EQ(v2, 0);
    EXPECT_EQ(v3, 0);
    EXPECT_STREQ(text, kUnsupported);
    EXPECT_STREQ(msg + 1, "XXXXXX");
}

TEST(GetDBVersion, FailedExchangeLeavesOfflineTextAndTheNumbers) {
    int32_t status = 0, v1 = 5, v2 = 6, v3 = 7;
    char text[64];
    char msg[300];
    const std::string sfx = UniqueSuffix("_absent");
    EXPECT_EQ(VexSrv_GetDBVersion(".", sfx.c_str(), &status, &v1, &v2, &v3, text, sizeof text, msg, sizeof msg), 0);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(v1, 5);
    EXPECT_EQ(v2, 6);
    EXPECT_EQ(v3, 7);
    EXPECT_STREQ(text, kOffline);
    EXPECT_EQ(std::string(msg).substr(0, 27), "Cannot connect to service '");
}

TEST(GetDBVersion, NeverWritesPastTheStatedTextLength) {
    const std::string sfx = UniqueSuffix("_absent");
    int32_t status = 0, v = 0;
    char text[64];
    // The fixed texts are cut to fit and terminated.
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(VexSrv_GetDBVersion(".", sfx.c_str(), &status, &v, &v, &v, text, 10, nullptr, 0), 0);
    EXPECT_EQ(std::string(text, 11), std::string("Target co\0#", 11));
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(VexSrv_GetDBVersion(".", sfx.c_str(), &status, &v, &v, &v, text, 1, nullptr, 0), 0);
    EXPECT_EQ(std::string(text, 2), std::string("\0#", 2));
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(VexSrv_GetDBVersion(".", sfx.c_str(), &status, &v, &v, &v, text, 0, nullptr, 0), 0);
    EXPECT_EQ(text[0], '#');

    FakeService svc;
    svc.Script(VersionReply(0xFFFF, ""));
    svc.Script(VersionReply(0, "12345678"));
    svc.Script(VersionReply(0, "1234567"));
    svc.Script(VersionReply(0, "ignored"));
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(VexSrv_GetDBVersion(".", svc.suffix().c_str(), &status, &v, &v, &v, text, 20, nullptr, 0), 0);
    EXPECT_EQ(std::string(text, 21), std::string("Target system does \0#", 21));
    // A service text as long as the stated length is cut to length - 1.
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(VexSrv_GetDBVersion(".", svc.suffix().c_str(), &status, &v, &v, &v, text, 8, nullptr, 0), 1);
    EXPECT_EQ(std::string(text, 9), std::string("1234567\0#", 9));
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(VexSrv_GetDBVersion(".", svc.suffix().c_str(), &status, &v, &v, &v, text, 8, nullptr, 0), 1);
    EXPECT_EQ(std::string(text, 9), std::string("1234567\0#", 9));
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(VexSrv_GetDBVersion(".", svc.suffix().c_str(), &status, &v, &v, &v, text, 0, nullptr, 0), 1);
    EXPECT_EQ(text[0], '#');
}

// ---- Audit trail ----------------------------------------------------------

TEST(GetAuditTrailConfiguration, CopiesSettingsAndWhole32ByteFields) {
    FakeService svc;
    Bytes reply = LongReply(0, 0);
    PutLE32(reply, 24, 0x01020304u);
    PutLE32(reply, 28, 0xFFFFFFF0u);
    const std::string field_a(32, 'A'), field_b = std::string("b\0b", 3) + std::string(29, 'B');
    PutBytes(reply, 32, field_a);
    PutBytes(reply, 64, field_b);
    PutBytes(reply, 96, "after the fields");
    svc.Script(reply);
    int32_t s1 = 0, s2 = 0, value = -1, status = -1;
    char f1[33], f2[33];
    std::memset(f1, '#', sizeof f1);
    std::memset(f2, '#', sizeof f2);
    char msg[32] = "";
    EXPECT_EQ(VexSrv_GetAuditTrailConfiguration(".", svc.suffix().c_str(), &s1, &s2, f1, f2, &value, &status, msg,
                                                sizeof msg),
              1);
    EXPECT_EQ(s1, 0x01020304);
    EXPECT_EQ(s2, -16);
    EXPECT_EQ(std::string(f1, 33), field_a + "#"); // no terminator added
    EXPECT_EQ(std::string(f2, 33), field_b + "#");
    EXPECT_STREQ(msg, "");
    ASSERT_EQ(svc.RequestCount(), 1u);
    EXPECT_BYTES_EQ(Request(27), svc.Requests()[0]);
}

TEST(GetAuditTrailConfiguration, NonZeroValueGivesEmptyOutputsAndTheText) {
    FakeService svc;
    Bytes reply = LongReply(0, 4);
    PutBytes(reply, 24, "audit off");
    svc.Script(reply);
    int32_t s1 = 5, s2 = 5, value = 0, status = -1;
    char f1[32], f2[32];
    std::memset(f1, '#', sizeof f1);
    std::memset(f2, '#', sizeof f2);
    char msg[32];
    EXPECT_EQ(VexSrv_GetAuditTrailConfiguration(".", svc.suffix().c_str(), &s1, &s2, f1, f2, &value, &status, msg,
                                                sizeof msg),
              1);
    EXPECT_EQ(value, 4);
    EXPECT_EQ(s1, 0);
    EXPECT_EQ(s2, 0);
    EXPECT_EQ(f1[0], 0);
    EXPECT_EQ(f2[0], 0);
    EXPECT_STREQ(msg, "audit off");
}

TEST(SetAuditTrailConfiguration, SendsSettingsAt16And20AndCopiesTextOnlyForNonZeroValue) {
    FakeService svc;
    Bytes quiet = LongReply(0, 0);
    PutBytes(quiet, 24, "not copied");
    svc.Script(quiet);
    Bytes loud = LongReply(0, 2);
    PutBytes(loud, 24, "copied");
    svc.Script(loud);
    int32_t value = -1, status = -1;
    char msg[32];
    EXPECT_EQ(
        VexSrv_SetAuditTrailConfiguration(".", svc.suffix().c_str(), 0x11223344, -1, &value, &status, msg, sizeof msg),
        1);
    EXPECT_STREQ(msg, "");
    EXPECT_EQ(VexSrv_SetAuditTrailConfiguration(".", svc.suffix().c_str(), 0, 0, &value, &status, msg, sizeof msg), 1);
    EXPECT_EQ(value, 2);
    EXPECT_STREQ(msg, "copied");
    ASSERT_EQ(svc.RequestCount(), 2u);
    Bytes expected = Request(28);
    PutLE32(expected, 16, 0x11223344u);
    PutLE32(expected, 20, 0xFFFFFFFFu);
    EXPECT_BYTES_EQ(expected, svc.Requests()[0]);
    EXPECT_BYTES_EQ(Request(28), svc.Requests()[1]);
}

// ---- Group configuration ----------------------------------------------------

TEST(GroupConfiguration, SaveAndLoadSendTheFileNameAt24AndTheOptionAt16) {
    FakeService svc;
    svc.Script(0, 1, "saved");
    svc.Script(7, 2, "no such file");
    int32_t value = 0, status = 0;
    char msg[32];
    EXPECT_EQ(
        VexSrv_SaveGroupConfiguration(".", svc.suffix().c_str(), "C:\\groups\\a.grp", &value, &status, msg, sizeof msg),
        1);
    EXPECT_STREQ(msg, "saved");
    EXPECT_EQ(VexSrv_LoadGroupConfiguration(".", svc.suffix().c_str(), "b.grp", -3, &value, &status, msg, sizeof msg),
              0);
    EXPECT_EQ(status, 7);
    EXPECT_EQ(value, 2);
    EXPECT_STREQ(msg, "no such file");
    const auto reqs = svc.Requests();
    ASSERT_EQ(reqs.size(), 2u);
    Bytes save = Request(34);
    PutStr(save, 24, "C:\\groups\\a.grp");
    EXPECT_BYTES_EQ(save, reqs[0]);
    Bytes load = Request(35);
    PutLE32(load, 16, 0xFFFFFFFDu);
    PutStr(load, 24, "b.grp");
    EXPECT_BYTES_EQ(load, reqs[1]);
}

TEST(GroupConfiguration, LongestFileNameEndsAtTheRecordsLastByteAndLongerIsRefused) {
    FakeService svc;
    const std::string longest(7999, 'F');
    int32_t value = 5, status = 6;
    char msg[64];
    EXPECT_EQ(
        VexSrv_LoadGroupConfiguration(".", svc.suffix().c_str(), longest.c_str(), 1, &value, &status, msg, sizeof msg),
        1);
    ASSERT_EQ(svc.RequestCount(), 1u);
    Bytes expected = Request(35);
    PutLE32(expected, 16, 1);
    PutStr(expected, 24, longest);
    EXPECT_BYTES_EQ(expected, svc.Requests()[0]);
    EXPECT_EQ(svc.Requests()[0][8022], 'F');
    EXPECT_EQ(svc.Requests()[0][8023], 0);

    value = 5, status = 6;
    const std::string too_long(8000, 'F');
    EXPECT_EQ(
        VexSrv_SaveGroupConfiguration(".", svc.suffix().c_str(), too_long.c_str(), &value, &status, msg, sizeof msg),
        0);
    EXPECT_STREQ(msg, "File name is too long (at most 7999 characters)");
    EXPECT_EQ(
        VexSrv_LoadGroupConfiguration(".", svc.suffix().c_str(), too_long.c_str(), 0, &value, &status, msg, sizeof msg),
        0);
    EXPECT_STREQ(msg, "File name is too long (at most 7999 characters)");
    EXPECT_EQ(value, 5);
    EXPECT_EQ(status, 6);
    EXPECT_EQ(svc.RequestCount(), 1u);
}

TEST(GroupConfiguration, AbsentOrEmptyFileNameIsRefused) {
    FakeService svc;
    int32_t value = 5, status = 6;
    char msg[32];
    EXPECT_EQ(VexSrv_SaveGroupConfiguration(".", svc.suffix().c_str(), "", &value, &status, msg, sizeof msg), 0);
    EXPECT_STREQ(msg, "File name is invalid");
    std::strcpy(msg, "x");
    EXPECT_EQ(VexSrv_LoadGroupConfiguration(".", svc.suffix().c_str(), nullptr, 0, &value, &status, msg, sizeof msg),
              0);
    EXPECT_STREQ(msg, "File name is invalid");
    EXPECT_EQ(value, 5);
    EXPECT_EQ(status, 6);
    EXPECT_EQ(svc.RequestCount(), 0u);
}

// ---- Snapshots --------------------------------------------------------------

SnapshotListEntry Entry(const std::string &name) {
    SnapshotListEntry e;
    std::memset(&e, 0xEE, sizeof e); // bytes after the name's terminator are not sent
    std::memcpy(e.name, name.c_str(), name.size() + 1);
    e.option_a = 1;
    e.option_b = 0x80;
    e.option_c = 0xFF;
    return e;
}

TEST(UpdateSnapshotList, SendsTheEntryShiftedToOffset16) {
    FakeService svc;
    svc.Script(0, 3, "listed");
    const SnapshotListEntry e = Entry("nightly");
    int32_t value = 0, status = -1;
    char msg[32];
    EXPECT_EQ(VexSrv_UpdateSnapshotList(".", svc.suffix().c_str(), &e, &value, &status, msg, sizeof msg), 1);
    EXPECT_EQ(value, 3);
    EXPECT_STREQ(msg, "listed");
    ASSERT_EQ(svc.RequestCount(), 1u);
    Bytes expected = Request(48);
    PutStr(expected, 16, "nightly");
    expected[1040] = 1;
    expected[1041] = 0x80;
    expected[1042] = 0xFF;
    EXPECT_BYTES_EQ(expected, svc.Requests()[0]);
}

TEST(UpdateSnapshotList, LongestNameEndsAtOffset1039AndAnUnterminatedOneIsRefused) {
    FakeService svc;
    const SnapshotListEntry longest = Entry(std::string(1023, 'N'));
    int32_t value = 5, status = 6;
    char msg[64];
    EXPECT_EQ(VexSrv_UpdateSnapshotList(".", svc.suffix().c_str(), &longest, &value, &status, msg, sizeof msg), 1);
    ASSERT_EQ(svc.RequestCount(), 1u);
    Bytes expected = Request(48);
    PutStr(expected, 16, std::string(1023, 'N'));
    expected[1040] = 1;
    expected[1041] = 0x80;
    expected[1042] = 0xFF;
    EXPECT_BYTES_EQ(expected, svc.Requests()[0]);
    EXPECT_EQ(svc.Requests()[0][1039], 0);

    value = 5, status = 6;
    SnapshotListEntry unterminated = longest;
    std::memset(unterminated.name, 'N', sizeof unterminated.name);
    EXPECT_EQ(VexSrv_UpdateSnapshotList(".", svc.suffix().c_str(), &unterminated, &value, &status, msg, sizeof msg), 0);
    EXPECT_STREQ(msg, "snapshot name is too long (at most 1023 characters)");
    EXPECT_EQ(value, 5);
    EXPECT_EQ(status, 6);
    EXPECT_EQ(svc.RequestCount(), 1u);
}

TEST(UpdateSnapshotList, AbsentEntryOrEmptyNameIsRefused) {
    FakeService svc;
    const SnapshotListEntry empty = Entry("");
    int32_t value = 5, status = 6;
    char msg[40];
    EXPECT_EQ(VexSrv_UpdateSnapshotList(".", svc.suffix().c_str(), &empty, &value, &status, msg, sizeof msg), 0);
    EXPECT_STREQ(msg, "snapshot name should be defined");
    std::strcpy(msg, "x");
    EXPECT_EQ(VexSrv_UpdateSnapshotList(".", svc.suffix().c_str(), nullptr, &value, &status, msg, sizeof msg), 0);
    EXPECT_STREQ(msg, "snapshot name should be defined");
    EXPECT_EQ(value, 5);
    EXPECT_EQ(status, 6);
    EXPECT_EQ(svc.RequestCount(), 0u);
}

TEST(UpdateSnapshotList, MissingPipeGivesTheSystemTextNotTheConnectionMessage) {
    const SnapshotListEntry e = Entry("weekly");
    int32_t value = 5, status = 0;
    char msg[128];
    EXPECT_EQ(VexSrv_UpdateSnapshotList(".", UniqueSuffix("_absent").c_str(), &e, &value, &status, msg, sizeof msg), 0);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(std::string(msg), SystemText(2));
}

} // namespace
} // namespace vex::test
