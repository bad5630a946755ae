// The mailslot calls of the platform layer, on this machine's own mailslots.
// Under Wine only "\\.\" and "\\?\" reach a mailslot; elsewhere "\\*\" and
// this computer's own names reach the local one too.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "tests/support/local_host.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace vex::platform {
namespace {

using test::Hex;

// A mailslot path of its own for each use, so test programs never collide.
std::string UniquePath() {
    static std::atomic<int> counter{0};
    return "mailslot\\VexTest\\" + Hex(test::CurrentProcessId()) + "\\" + std::to_string(counter++);
}

class Slot {
  public:
    explicit Slot(std::uint32_t max_message = 128, std::uint32_t timeout = 0) : path_(UniquePath()) {
        error_ = CreateLocalMailslot(("\\\\.\\" + path_).c_str(), max_message, timeout, OpenSecurity{}, &handle_);
    }
    ~Slot() { CloseMailslot(handle_); }
    Slot(const Slot &) = delete;
    Slot &operator=(const Slot &) = delete;

    std::uint32_t error() const { return error_; }
    MailslotHandle handle() const { return handle_; }
    // The mailslot's name as written from node.
    std::string On(const std::string &node) const { return "\\\\" + node + "\\" + path_; }

  private:
    std::string path_;
    MailslotHandle handle_ = kNoMailslot;
    std::uint32_t error_ = 0;
};

// Opens, writes one message, closes; returns the first error.
std::uint32_t Send(const std::string &path, const std::string &text) {
    MailslotHandle h = kNoMailslot;
    std::uint32_t e = OpenMailslotForWrite(path.c_str(), &h);
    if (e == kErrorSuccess) e = WriteMailslot(h, text.data(), static_cast<std::uint32_t>(text.size()));
    CloseMailslot(h);
    return e;
}

std::string Receive(const Slot &slot, std::uint32_t *error) {
    char buf[400] = {};
    std::uint32_t got = 0;
    *error = ReadMailslot(slot.handle(), buf, sizeof buf, &got);
    return std::string(buf, got);
}

TEST(Mailslot, MessagesArriveWholeAndInOrderThroughEitherLocalForm) {
    Slot slot;
    ASSERT_EQ(slot.error(), 0u);
    EXPECT_EQ(Send(slot.On("."), "first"), 0u);
    EXPECT_EQ(Send(slot.On("?"), "second message"), 0u);
    std::uint32_t e = 1;
    EXPECT_EQ(Receive(slot, &e), "first");
    EXPECT_EQ(e, 0u);
    EXPECT_EQ(Receive(slot, &e), "second message");
    EXPECT_EQ(e, 0u);
    // Nothing waits and the time-out is 0: the read gives up at once.
    EXPECT_EQ(Receive(slot, &e), "");
    EXPECT_EQ(e, kErrorSemTimeout);
}

TEST(Mailslot, NamesIgnoreCase) {
    Slot slot;
    ASSERT_EQ(slot.error(), 0u);
    std::string upper = slot.On(".");
    for (char &c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(Send(upper, "x"), 0u);
    std::uint32_t e = 1;
    EXPECT_EQ(Receive(slot, &e), "x");
}

TEST(Mailslot, ATakenNameCannotBeCreatedAgain) {
    Slot slot;
    ASSERT_EQ(slot.error(), 0u);
    MailslotHandle again = kNoMailslot;
    EXPECT_EQ(CreateLocalMailslot(slot.On(".").c_str(), 128, 0, OpenSecurity{}, &again), kErrorAlreadyExists);
    EXPECT_EQ(again, kNoMailslot);
}

TEST(Mailslot, AMissingLocalMailslotCannotBeOpened) {
    MailslotHandle h = kNoMailslot;
    EXPECT_EQ(OpenMailslotForWrite(("\\\\.\\" + UniquePath()).c_str(), &h), kErrorFileNotFound);
    EXPECT_EQ(h, kNoMailslot);
    EXPECT_EQ(OpenMailslotForWrite(("\\\\?\\" + UniquePath()).c_str(), &h), kErrorFileNotFound);
}

TEST(Mailslot, ReadThatWaitsGivesUpAfterItsTimeOut) {
    Slot slot(128, 100);
    ASSERT_EQ(slot.error(), 0u);
    std::uint32_t e = 0;
    EXPECT_EQ(Receive(slot, &e), "");
    EXPECT_EQ(e, kErrorSemTimeout);
}

TEST(Mailslot, WritesOutliveTheReader) {
    auto slot = std::make_unique<Slot>();
    ASSERT_EQ(slot->error(), 0u);
    MailslotHandle h = kNoMailslot;
    ASSERT_EQ(OpenMailslotForWrite(slot->On(".").c_str(), &h), 0u);
    slot.reset();
    // The message is lost, and the writer is not told.
    EXPECT_EQ(WriteMailslot(h, "late", 4), 0u);
    CloseMailslot(h);
}

TEST(ComputerName, IsThisComputersNameAndNeedsRoomForItsTerminator) {
    char name[35] = {};
    std::uint32_t size = sizeof name;
    ASSERT_EQ(ComputerName(name, &size), 0u);
    EXPECT_EQ(std::string(name, size), test::LocalComputerName());
    EXPECT_EQ(std::strlen(name), size);
    std::uint32_t small = size; // no room for the NUL
    EXPECT_EQ(ComputerName(name, &small), kErrorBufferOverflow);
    EXPECT_EQ(small, size + 1);
    EXPECT_EQ(ProcessId(), test::CurrentProcessId());
}

#if defined(_WIN32)

TEST(Mailslot, UnderWineOnlyTheLocalFormsReachAMailslot) {
    Slot slot;
    ASSERT_EQ(slot.error(), 0u);
    for (const std::string &node : {std::string("*"), test::LocalComputerName(), std::string("")}) {
        MailslotHandle h = kNoMailslot;
        EXPECT_EQ(OpenMailslotForWrite(slot.On(node).c_str(), &h), kErrorPathNotFound) << node;
    }
}

TEST(OpenSecurity, LetsEveryoneWrite) {
    OpenSecurity s = AcquireOpenSecurity();
    ASSERT_NE(s.attributes, nullptr);
    ASSERT_NE(s.descriptor, nullptr);
    const auto *sa = static_cast<const SECURITY_ATTRIBUTES *>(s.attributes);
    EXPECT_EQ(sa->nLength, sizeof(SECURITY_ATTRIBUTES));
    EXPECT_FALSE(sa->bInheritHandle);
    EXPECT_EQ(sa->lpSecurityDescriptor, s.descriptor);
    BOOL present = FALSE, defaulted = TRUE;
    PACL dacl = reinterpret_cast<PACL>(1);
    ASSERT_TRUE(GetSecurityDescriptorDacl(s.descriptor, &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_EQ(dacl, nullptr);
    EXPECT_FALSE(defaulted);
    MailslotHandle h = kNoMailslot;
    EXPECT_EQ(CreateLocalMailslot(("\\\\.\\" + UniquePath()).c_str(), 128, 0, s, &h), 0u);
    CloseMailslot(h);
    ReleaseOpenSecurity(s);
    EXPECT_EQ(s.attributes, nullptr);
}

#else

TEST(Mailslot, TheDomainAndThisComputersNamesReachTheLocalMailslot) {
    Slot slot;
    ASSERT_EQ(slot.error(), 0u);
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    for (const std::string &node : {std::string("*"), test::LocalComputerName(), std::string(host),
                                    std::string("localhost"), std::string("127.0.0.1")}) {
        EXPECT_EQ(Send(slot.On(node), "via " + node), 0u);
        std::uint32_t e = 1;
        EXPECT_EQ(Receive(slot, &e), "via " + node);
    }
}

TEST(Mailslot, ANetworkNameOpensWhenNobodyListensAndItsMessagesAreLost) {
    EXPECT_EQ(Send("\\\\*\\" + UniquePath(), "unheard"), 0u);
    EXPECT_EQ(Send("\\\\" + test::LocalComputerName() + "\\" + UniquePath(), "unheard"), 0u);
}

TEST(Mailslot, OtherNodesAndMalformedNamesAreNotFound) {
    MailslotHandle h = kNoMailslot;
    EXPECT_EQ(OpenMailslotForWrite(("\\\\no-such-node-here\\" + UniquePath()).c_str(), &h), kErrorBadNetPath);
    EXPECT_EQ(OpenMailslotForWrite(("\\\\\\" + UniquePath()).c_str(), &h), kErrorPathNotFound);
    EXPECT_EQ(OpenMailslotForWrite("\\\\.\\pipe\\x", &h), kErrorInvalidName);
    EXPECT_EQ(CreateLocalMailslot(("\\\\*\\" + UniquePath()).c_str(), 0, 0, OpenSecurity{}, &h), kErrorPathNotFound);
    EXPECT_EQ(h, kNoMailslot);
}

TEST(Mailslot, MessagesOverTheMaximumNeverArrive) {
    Slot slot(128);
    ASSERT_EQ(slot.error(), 0u);
    EXPECT_EQ(Send(slot.On("."), std::string(129, 'L')), 0u);
    EXPECT_EQ(Send(slot.On("."), std::string(128, 'M')), 0u);
    std::uint32_t e = 1;
    EXPECT_EQ(Receive(slot, &e), std::string(128, 'M'));
    EXPECT_EQ(Receive(slot, &e), "");
    EXPECT_EQ(e, kErrorSemTimeout);
}

TEST(Mailslot, ABufferTooSmallFailsAndKeepsTheMessage) {
    Slot slot(0);
    ASSERT_EQ(slot.error(), 0u);
    ASSERT_EQ(Send(slot.On("."), "twelve bytes"), 0u);
    char small[4];
    std::uint32_t got = 9;
    EXPECT_EQ(ReadMailslot(slot.handle(), small, sizeof small, &got), kErrorInsufficientBuffer);
    EXPECT_EQ(got, 0u);
    std::uint32_t e = 1;
    EXPECT_EQ(Receive(slot, &e), "twelve bytes");
    // An empty message is a message too.
    ASSERT_EQ(Send(slot.On("."), ""), 0u);
    EXPECT_EQ(Receive(slot, &e), "");
    EXPECT_EQ(e, 0u);
}

#endif

} // namespace
} // namespace vex::platform
