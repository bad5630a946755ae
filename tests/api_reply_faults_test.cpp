// Every exported operation against a service that answers badly: a reply
// longer than the operation offers, a short one, an empty one, none at all,
// and texts longer than the caller's buffer. Each gets an error code or a
// bounded result; nothing lands outside the caller's buffers.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <memory>
#include <string>

#include "tests/support/fake_service.h"
#include "tests/support/guarded_buffer.h"
#include "tests/support/operation_table.h"
#include "tests/support/system_text.h"
#include "tests/support/wire.h"

namespace vex::test {
namespace {

class ReplyFaults : public ::testing::TestWithParam<OperationRow> {
  protected:
    static constexpr std::int32_t kWholeBuffer = INT32_MAX;

    // Runs the row's call against svc with sentinel outputs and a guarded
    // message buffer of size bytes, offered as length bytes.
    std::int32_t Call(FakeService &svc, std::size_t size = 128, std::int32_t length = kWholeBuffer,
                      const char *node = ".") {
        msg_ = std::make_unique<GuardedBuffer>(size);
        CallArgs a;
        a.node = node;
        a.suffix = svc.suffix().c_str();
        a.value = &value_;
        a.status = &status_;
        a.message = msg_->data();
        a.message_length = length == kWholeBuffer ? static_cast<std::int32_t>(size) : length;
        const std::int32_t r = GetParam().call(a);
        EXPECT_TRUE(msg_->GuardsIntact());
        return r;
    }

    std::int32_t value_ = -7;
    std::int32_t status_ = -7;
    std::unique_ptr<GuardedBuffer> msg_;
};

TEST_P(ReplyFaults, OversizeReplyFailsWithMoreData) {
    FakeService svc;
    svc.Script(MakeReply(0, 0, "one byte too many", GetParam().reply_size + 1));
    EXPECT_EQ(Call(svc), 0);
    EXPECT_EQ(status_, 234);
    EXPECT_EQ(msg_->Text(), SystemText(234));
    EXPECT_EQ(svc.RequestCount(), 1u);
}

// A reply of 16 bytes (status and nothing after it) and an empty reply (a
// message of no bytes): value, token and data area read as zeros, and the
// exchange completes.
TEST_P(ReplyFaults, ShortOrEmptyReplyReadsAsZerosAndSucceeds) {
    for (const std::size_t size : {std::size_t{16}, std::size_t{0}}) {
        SCOPED_TRACE(size);
        FakeService svc;
        for (int i = 0; i < GetParam().exchanges; ++i) svc.Script(MakeReply(0, 0, "", size));
        EXPECT_EQ(Call(svc), 1);
        EXPECT_EQ(status_, 0);
        // The version reads its own outputs, not a value word.
        if (std::string(GetParam().name) != "GetDBVersion") {
            EXPECT_EQ(value_, 0);
        }
        // Only the first byte is cleared on entry; the subsystem stops leave
        // even that when the reply has no text.
        const bool keeps_text = std::string(GetParam().name).rfind("StopSubsystem", 0) == 0;
        EXPECT_EQ(msg_->Contents(), (keeps_text ? "#" : std::string(1, '\0')) + std::string(127, '#'));
        EXPECT_EQ(svc.RequestCount(), static_cast<std::size_t>(GetParam().exchanges));
    }
}

TEST_P(ReplyFaults, HangUpWithoutReplyFailsWithTheSystemsCode) {
    FakeService svc;
    svc.ScriptHangUp();
    EXPECT_EQ(Call(svc), 0);
#if defined(_WIN32)
    // The service disconnected its pipe instance.
    EXPECT_EQ(status_, 233);
#else
    // A socket has no disconnect apart from its end: the pipe has ended.
    EXPECT_EQ(status_, 109);
#endif
    EXPECT_EQ(msg_->Text(), SystemText(static_cast<std::uint32_t>(status_)));
}

// A reply whose whole text area is text, no zero byte, into a message buffer
// of 8 bytes: at most those 8 bytes are written (some operations write only
// the first, or nothing).
TEST_P(ReplyFaults, UnterminatedLongTextStaysInsideTheMessageBuffer) {
    FakeService svc;
    const std::size_t size = GetParam().reply_size;
    for (int i = 0; i < GetParam().exchanges; ++i) svc.Script(MakeReply(0, 1, std::string(size - 24, 'T'), size));
    Call(svc, 8);
    for (char c : msg_->Contents()) EXPECT_TRUE(c == 'T' || c == '\0' || c == '#') << msg_->Contents();
}

TEST_P(ReplyFaults, MessageLengthZeroOrNegativeWritesNothing) {
    for (std::int32_t length : {0, -1, INT32_MIN}) {
        FakeService svc;
        svc.ScriptHangUp();
        EXPECT_EQ(Call(svc, 16, length), 0);
        EXPECT_EQ(msg_->Contents(), std::string(16, '#')) << "failed exchange, length " << length;
        // A local refusal, too.
        EXPECT_EQ(Call(svc, 16, length, nullptr), 0);
        EXPECT_EQ(msg_->Contents(), std::string(16, '#')) << "refusal, length " << length;
        EXPECT_EQ(svc.RequestCount(), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, ReplyFaults, ::testing::ValuesIn(kOperationRows),
                         [](const auto &row) { return std::string(row.param.name); });

// An empty second answer leaves the reply record as the first answer filled
// it: the check hands the first answer's value, status and text on again.
TEST(EmptyReply, CheckTidewellsSecondAnswerKeepsTheFirstReply) {
    FakeService svc;
    svc.Script(0, 7, "first answer");
    svc.Script(Bytes{});
    std::int32_t first = -1, second = -1, status = -1;
    char message[64];
    ASSERT_EQ(VexSrv_CheckTidewell(".", svc.suffix().c_str(), &first, &second, &status, message, sizeof message), 1);
    EXPECT_EQ(first, 7);
    EXPECT_EQ(second, 7);
    EXPECT_EQ(status, 0);
    EXPECT_STREQ(message, "first answer");
    EXPECT_EQ(svc.RequestCount(), 2u);
}

} // namespace
} // namespace vex::test
