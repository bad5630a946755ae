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

TEST_P(ReplyFaults, ShortReplyReadsAsZerosAndSucceeds) {
    FakeService svc;
    // Status and nothing after it: value, token and data area read as zeros.
    for (int i = 0; i < GetParam().exchanges; ++i) svc.Script(MakeReply(0, 0, "", 16));
    EXPECT_EQ(Call(svc), 1);
    EXPECT_EQ(status_, 0);
    // Only the first byte is cleared on entry; the subsystem stops leave even
    // that when the reply has no text.
    const bool keeps_text = std::string(GetParam().name).rfind("StopSubsystem", 0) == 0;
    EXPECT_EQ(msg_->Contents(), (keeps_text ? "#" : std::string(1, '\0')) + std::string(127, '#'));
    EXPECT_EQ(svc.RequestCount(), static_cast<std::size_t>(GetParam().exchanges));
}

TEST_P(ReplyFaults, EmptyReplyIsAFailedExchangeOrAllZeros) {
    FakeService svc;
    svc.Script(Bytes{});
    const std::int32_t r = Call(svc);
#if defined(_WIN32)
    // A message of no bytes completes the transaction; every field reads 0.
    EXPECT_EQ(r, 1);
    EXPECT_EQ(status_, 0);
#else
    // A message of no bytes cannot be told from the service hanging up.
    EXPECT_EQ(r, 0);
    EXPECT_EQ(status_, 109);
    EXPECT_EQ(msg_->Text(), SystemText(109));
#endif
}

TEST_P(ReplyFaults, HangUpWithoutReplyFailsWithTheSystemsCode) {
    FakeService svc;
    svc.ScriptHangUp();
    EXPECT_EQ(Call(svc), 0);
    EXPECT_NE(status_, 0);
    EXPECT_NE(status_, 2);
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

} // namespace
} // namespace vex::test
