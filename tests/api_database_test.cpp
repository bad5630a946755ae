// Database start and stop, and the result convention every operation shares,
// through the built library against the fake service.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/support/fake_service.h"
#include "tests/support/system_text.h"
#include "tests/support/wire.h"
#include "vexsrvapi.h"

namespace vex::test {
namespace {

using SimpleOp = int32_t(VEXSRV_CALL *)(int32_t, const char *, const char *, int32_t *, int32_t *, char *,
                                        int32_t);

struct SimpleRow {
    const char *name;
    SimpleOp fn;
    std::uint32_t code;
};

// Code words from the operation table.
const SimpleRow kSimpleRows[] = {
    {"StartTidewell", VexSrv_StartTidewell, 0x00000001},
    {"StartTidewellFromCluster", VexSrv_StartTidewellFromCluster, 0x00010001},
    {"StopTidewell", VexSrv_StopTidewell, 0x00000004},
    {"StopTidewellFromCluster", VexSrv_StopTidewellFromCluster, 0x00010004},
    {"StopExternalTasks", VexSrv_StopExternalTasks, 0x0000000F},
    {"UnmapTidewellPrograms", VexSrv_UnmapTidewellPrograms, 0x00000012},
};

class SimpleOps : public ::testing::TestWithParam<SimpleRow> {};

TEST_P(SimpleOps, SendExactlyCodeAndLockKeyAndHandBackTheReply) {
    FakeService svc;
    svc.Script(0, 42, "done");
    int32_t value = -9, status = -9;
    char msg[64];
    EXPECT_EQ(GetParam().fn(-123456, ".", svc.suffix().c_str(), &value, &status, msg, sizeof msg), 1);
    ASSERT_EQ(svc.RequestCount(), 1u);
    EXPECT_BYTES_EQ(Request(GetParam().code, -123456), svc.Requests()[0]);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(status, 0);
    EXPECT_STREQ(msg, "done");
}

INSTANTIATE_TEST_SUITE_P(Database, SimpleOps, ::testing::ValuesIn(kSimpleRows),
                         [](const auto &row) { return std::string(row.param.name); });

TEST(StopSubsystem, SendsNameAtOffset12AndWaitFlagChoosesOperation17) {
    FakeService svc;
    int32_t value = 0, status = 0;
    const char *sfx = svc.suffix().c_str();
    EXPECT_EQ(VexSrv_StopSubsystem(7, ".", sfx, "ALARMS", &value, &status, nullptr, 0), 1);
    EXPECT_EQ(VexSrv_StopSubsystemAndWait(7, ".", sfx, "ALARMS", 0, &value, &status, nullptr, 0), 1);
    EXPECT_EQ(VexSrv_StopSubsystemAndWait(7, ".", sfx, "ALARMS", 1, &value, &status, nullptr, 0), 1);
    EXPECT_EQ(VexSrv_StopSubsystemAndWait(7, ".", sfx, "ALARMS", -1, &value, &status, nullptr, 0), 1);
    EXPECT_EQ(VexSrv_StopSubsystemAndWait(7, ".", sfx, "ALARMS", 2, &value, &status, nullptr, 0), 1);
    EXPECT_EQ(VexSrv_StopSubsystem(7, ".", sfx, "", &value, &status, nullptr, 0), 1);
    const auto reqs = svc.Requests();
    ASSERT_EQ(reqs.size(), 6u);
    Bytes seven = Request(7, 7);
    PutStr(seven, 12, "ALARMS");
    Bytes seventeen = Request(17, 7);
    PutStr(seventeen, 12, "ALARMS");
    EXPECT_BYTES_EQ(seven, reqs[0]);
    EXPECT_BYTES_EQ(seven, reqs[1]); // indistinguishable from StopSubsystem
    EXPECT_BYTES_EQ(seventeen, reqs[2]);
    EXPECT_BYTES_EQ(seventeen, reqs[3]);
    EXPECT_BYTES_EQ(seventeen, reqs[4]);
    EXPECT_BYTES_EQ(Request(7, 7), reqs[5]); // an empty name is a single zero byte
}

TEST(StopSubsystem, LongestNameFillsTheRecordAndOneMoreIsRefused) {
    FakeService svc;
    int32_t value = 5, status = 6;
    char msg[128];
    const std::string longest(8011, 'S');
    EXPECT_EQ(VexSrv_StopSubsystem(0, ".", svc.suffix().c_str(), longest.c_str(), &value, &status, msg, sizeof msg),
              1);
    ASSERT_EQ(svc.RequestCount(), 1u);
    Bytes expected = Request(7);
    PutStr(expected, 12, longest);
    EXPECT_BYTES_EQ(expected, svc.Requests()[0]);

    value = 5, status = 6;
    const std::string too_long(8012, 'S');
    EXPECT_EQ(VexSrv_StopSubsystem(0, ".", svc.suffix().c_str(), too_long.c_str(), &value, &status, msg, sizeof msg),
              0);
    EXPECT_STREQ(msg, "Subsystem name is too long (at most 8011 characters)");
    EXPECT_EQ(svc.RequestCount(), 1u);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(status, 6);
}

TEST(StopSubsystem, KeepsTheCallersTextWhenTheReplyHasNone) {
    FakeService svc;
    int32_t value = 0, status = 0;
    char msg[32] = "caller's own";
    EXPECT_EQ(VexSrv_StopSubsystem(0, ".", svc.suffix().c_str(), "X", &value, &status, msg, sizeof msg), 1);
    EXPECT_STREQ(msg, "caller's own");
    // The plain operations clear the buffer on entry.
    std::strcpy(msg, "caller's own");
    EXPECT_EQ(VexSrv_StopTidewell(0, ".", svc.suffix().c_str(), &value, &status, msg, sizeof msg), 1);
    EXPECT_STREQ(msg, "");
}

// ---- The result convention, row by row ---------------------------------

TEST(ResultConvention, MissingPipeGivesStatus2AndTheConnectionMessage) {
    const std::string sfx = UniqueSuffix("_absent");
    int32_t value = 11, status = 0;
    char msg[300];
    EXPECT_EQ(VexSrv_StartTidewell(0, ".", sfx.c_str(), &value, &status, msg, sizeof msg), 0);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(value, 11);
    EXPECT_EQ(std::string(msg), "Cannot connect to service 'Kestrane Tidewell Task Service" + sfx +
                                    "' on node '.'\nPlease make sure the service is running.");
}

TEST(ResultConvention, ServiceStatusIsHandedBackWithValueAndText) {
    FakeService svc;
    svc.Script(5, -3, "refused by the service");
    int32_t value = 0, status = 0;
    char msg[64];
    EXPECT_EQ(VexSrv_StartTidewell(0, ".", svc.suffix().c_str(), &value, &status, msg, sizeof msg), 0);
    EXPECT_EQ(status, 5);
    EXPECT_EQ(value, -3);
    EXPECT_STREQ(msg, "refused by the service");
}

TEST(ResultConvention, OversizeReplyFailsWithMoreData) {
    FakeService svc;
    svc.Script(0, 1, "too long", 537);
    int32_t value = 99, status = 0;
    char msg[64];
    EXPECT_EQ(VexSrv_StartTidewell(0, ".", svc.suffix().c_str(), &value, &status, msg, sizeof msg), 0);
    EXPECT_EQ(status, 234);
    EXPECT_EQ(value, 99);
    EXPECT_EQ(std::string(msg), SystemText(234));
}

TEST(ResultConvention, ShortReplyReadsMissingBytesAsZero) {
    FakeService svc;
    Bytes reply = MakeReply(0, 0, "", 14);
    reply[12] = 7; // status's first byte only
    svc.Script(reply);
    svc.Script(MakeReply(3, 0, "", 12)); // status not covered: reads as 0
    int32_t value = 1, status = 1;
    EXPECT_EQ(VexSrv_StartTidewell(0, ".", svc.suffix().c_str(), &value, &status, nullptr, 0), 0);
    EXPECT_EQ(status, 7);
    EXPECT_EQ(VexSrv_StartTidewell(0, ".", svc.suffix().c_str(), &value, &status, nullptr, 0), 1);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(value, 0);
}

TEST(ResultConvention, HangUpWithoutReplyIsAFailedExchange) {
    FakeService svc;
    svc.ScriptHangUp();
    int32_t value = 4, status = 0;
    char msg[128];
    EXPECT_EQ(VexSrv_StopTidewell(0, ".", svc.suffix().c_str(), &value, &status, msg, sizeof msg), 0);
    EXPECT_NE(status, 0);
    EXPECT_NE(status, 2);
    EXPECT_EQ(value, 4);
    EXPECT_EQ(std::string(msg), SystemText(static_cast<std::uint32_t>(status)));
}

TEST(ResultConvention, StatusZeroWithTextSucceedsAndCopiesTheText) {
    FakeService svc;
    svc.Script(0, 0, "note");
    int32_t value = 1, status = 1;
    char msg[16];
    EXPECT_EQ(VexSrv_StartTidewell(0, ".", svc.suffix().c_str(), &value, &status, msg, sizeof msg), 1);
    EXPECT_STREQ(msg, "note");
}

TEST(ResultConvention, TextWithoutZeroInTheReplyEndsAtTheRecordsEnd) {
    FakeService svc;
    Bytes reply = MakeReply(0, 0, std::string(512, 'T'));
    svc.Script(reply);
    int32_t value = 0, status = 0;
    std::string msg(600, '#');
    EXPECT_EQ(VexSrv_StartTidewell(0, ".", svc.suffix().c_str(), &value, &status, msg.data(), 600), 1);
    EXPECT_EQ(msg, std::string(512, 'T') + std::string(88, '\0'));
}

TEST(ResultConvention, BoundedCopyIntoLengthOneExactFitZeroAndNull) {
    FakeService svc;
    for (int i = 0; i < 4; ++i) svc.Script(0, 0, "hello");
    int32_t value = 0, status = 0;
    const char *sfx = svc.suffix().c_str();
    char buf[8];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(VexSrv_StartTidewell(0, ".", sfx, &value, &status, buf, 1), 1);
    EXPECT_EQ(std::string(buf, 8), "h#######");
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(VexSrv_StartTidewell(0, ".", sfx, &value, &status, buf, 5), 1);
    EXPECT_EQ(std::string(buf, 8), "hello###");
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(VexSrv_StartTidewell(0, ".", sfx, &value, &status, buf, 0), 1);
    EXPECT_EQ(std::string(buf, 8), "########");
    status = 9;
    EXPECT_EQ(VexSrv_StartTidewell(0, ".", sfx, &value, &status, nullptr, 8), 1);
    EXPECT_EQ(status, 0);
}

TEST(ResultConvention, NullBufferStillGetsTheStatusOnAFailedExchange) {
    int32_t value = 0, status = 0;
    EXPECT_EQ(VexSrv_StartTidewell(0, ".", UniqueSuffix("_absent").c_str(), &value, &status, nullptr, 100), 0);
    EXPECT_EQ(status, 2);
}

TEST(ResultConvention, NullValueAndStatusPointersAreSkippedNotWritten) {
    FakeService svc;
    svc.Script(3, 4, "text");
    char msg[16];
    EXPECT_EQ(VexSrv_StartTidewell(0, ".", svc.suffix().c_str(), nullptr, nullptr, msg, sizeof msg), 0);
    EXPECT_STREQ(msg, "text");
    EXPECT_EQ(VexSrv_StartTidewell(0, ".", UniqueSuffix("_absent").c_str(), nullptr, nullptr, msg, sizeof msg), 0);
    EXPECT_EQ(std::strncmp(msg, "Cannot connect", 14), 0);
}

TEST(ResultConvention, OverlongAddressAndNullNodeAreRefusedBeforeSending) {
    int32_t value = 5, status = 6;
    char msg[128];
    const std::string node(480, 'n');
    const std::string sfx(9, 's');
    EXPECT_EQ(VexSrv_StartTidewell(0, node.c_str(), sfx.c_str(), &value, &status, msg, sizeof msg), 0);
    EXPECT_STREQ(msg, "Node name and service suffix are too long for a pipe name");
    EXPECT_EQ(value, 5);
    EXPECT_EQ(status, 6);
    EXPECT_EQ(VexSrv_StartTidewell(0, nullptr, "", &value, &status, msg, sizeof msg), 0);
    EXPECT_STREQ(msg, "node name should be defined");
    EXPECT_EQ(status, 6);
}

TEST(ResultConvention, NullSuffixCountsAsEmpty) {
    int32_t value = 0, status = 0;
    char msg[200];
    // Another test program may serve the empty suffix; only the message's
    // shape matters here when nothing does.
    if (VexSrv_StartTidewell(0, ".", nullptr, &value, &status, msg, sizeof msg) == 0 && status == 2) {
        EXPECT_EQ(std::string(msg).substr(0, 58), "Cannot connect to service 'Kestrane Tidewell Task Service'");
    }
}

} // namespace
} // namespace vex::test
