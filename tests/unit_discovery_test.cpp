// The browse messages and the broadcast's steps, with a stand-in for the
// system that records every call and fails any step on demand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "discovery/broadcast.h"
#include "discovery/browse_packet.h"
#include "tests/support/system_text.h"
#include "tests/support/wire.h"

namespace vex::discovery {
namespace {

using test::Bytes;
using test::PutStr;

using test::PutBE32;

// The worked example: a seven-character computer name and a four-digit
// process id; offsets 28 and 36, 77 bytes in all.
constexpr const char *kName = "PLANT07";
constexpr std::uint32_t kPid = 0x1a2b;
constexpr const char *kReplyAsSent = "\\\\PLANT07\\mailslot\\Tidewell\\BrowseR\\1a2b";
constexpr const char *kReplyAsCreated = "\\\\.\\mailslot\\Tidewell\\BrowseR\\1a2b";

Bytes WorkedExample() {
    Bytes b = test::Zeros(77);
    PutBE32(b, 0, 77);
    PutBE32(b, 4, 1);
    PutBE32(b, 8, 1);
    PutBE32(b, 12, 28);
    PutBE32(b, 16, 36);
    PutStr(b, 28, kName);
    PutStr(b, 36, kReplyAsSent);
    return b;
}

// An answer with the three offsets given and these bytes after the header.
Bytes Answer(std::uint32_t first, std::uint32_t second, std::uint32_t third, const Bytes &tail = {}) {
    Bytes b = test::Zeros(24 + tail.size());
    PutBE32(b, 12, first);
    PutBE32(b, 16, second);
    PutBE32(b, 20, third);
    std::copy(tail.begin(), tail.end(), b.begin() + 24);
    return b;
}

// "alpha\0beta\0gamma\0" after the header: offsets 24, 30, 35.
Bytes GoodAnswer() {
    return Answer(24, 30, 35, Bytes{'a', 'l', 'p', 'h', 'a', 0, 'b', 'e', 't', 'a', 0, 'g', 'a', 'm', 'm', 'a', 0});
}

// ---- The request ----------------------------------------------------------

TEST(BrowseRequest, WorkedExampleIsByteExact) {
    std::uint8_t out[kBrowseRequestCapacity];
    std::memset(out, 0xEE, sizeof out);
    ASSERT_EQ(WriteBrowseRequest(kName, kReplyAsSent, out, sizeof out), 77u);
    EXPECT_BYTES_EQ(WorkedExample(), Bytes(out, out + 77));
    EXPECT_EQ(out[77], 0xEE); // nothing past the packet
}

TEST(BrowseRequest, LongestComputerNameFitsAndWhatDoesNotFitIsRefused) {
    const std::string name(34, 'N');
    const std::string path = "\\\\" + name + "\\mailslot\\Tidewell\\BrowseR\\ffffffff";
    std::uint8_t out[kBrowseRequestCapacity];
    EXPECT_EQ(WriteBrowseRequest(name, path, out, sizeof out), 28u + 35 + 72);
    EXPECT_EQ(WriteBrowseRequest(name, path, out, 134), 0u);
    EXPECT_EQ(WriteBrowseRequest(std::string("A\0B", 3), path, out, sizeof out), 0u);
}

TEST(BrowseRequest, ParserReadsWhatTheWriterWrote) {
    const Bytes b = WorkedExample();
    BrowseRequestView view;
    ASSERT_TRUE(ParseBrowseRequest(b.data(), b.size(), &view));
    EXPECT_EQ(view.fixed_first, 1u);
    EXPECT_EQ(view.fixed_second, 1u);
    EXPECT_EQ(view.computer_name, kName);
    EXPECT_EQ(view.reply_path, kReplyAsSent);
    // Trailing bytes beyond the total length are ignored.
    Bytes longer = b;
    longer.push_back('x');
    EXPECT_TRUE(ParseBrowseRequest(longer.data(), longer.size(), &view));
}

TEST(BrowseRequest, ParserRefusesHostileRequests) {
    BrowseRequestView view;
    const Bytes good = WorkedExample();
    auto with_word = [&](std::size_t off, std::uint32_t v) {
        Bytes b = good;
        PutBE32(b, off, v);
        return b;
    };
    auto with_path = [&](const std::string &path) {
        Bytes b(good.begin(), good.begin() + 36);
        for (char c : path)
            b.push_back(static_cast<std::uint8_t>(c));
        b.push_back(0);
        PutBE32(b, 0, static_cast<std::uint32_t>(b.size()));
        return b;
    };
    const std::vector<std::pair<const char *, Bytes>> cases = {
        {"shorter than the header", Bytes(good.begin(), good.begin() + 27)},
        {"total past the bytes", with_word(0, 78)},
        {"total inside the header", with_word(0, 27)},
        {"name offset in the header", with_word(12, 27)},
        {"path offset in the header", with_word(16, 0)},
        {"name offset at the end", with_word(12, 77)},
        {"path offset far out", with_word(16, 0xFFFFFFFF)},
        {"path cut before its NUL", with_word(0, 76)},
        {"path names a pipe", with_path("\\\\PLANT07\\pipe\\ZEPTAR__TSK_REQ")},
        {"path without a node", with_path("\\\\\\mailslot\\x")},
        {"path without a mailslot name", with_path("\\\\PLANT07\\mailslot\\")},
        {"path that is no UNC name", with_path("C:\\mailslot\\x")},
    };
    for (const auto &[what, bytes] : cases)
        EXPECT_FALSE(ParseBrowseRequest(bytes.data(), bytes.size(), &view)) << what;
    EXPECT_FALSE(ParseBrowseRequest(nullptr, 100, &view));
    const Bytes mixed_case = with_path("\\\\n\\MailSlot\\x");
    EXPECT_TRUE(ParseBrowseRequest(mixed_case.data(), mixed_case.size(), &view));
}

// ---- Answers ----------------------------------------------------------------

TEST(BrowseReply, WriterLaysOutTheStringsAfterTheHeader) {
    std::uint8_t out[kBrowseReplyMax];
    ASSERT_EQ(WriteBrowseReply("alpha", "beta", "gamma", out, sizeof out), 41u);
    Bytes expected = GoodAnswer();
    PutBE32(expected, 0, 41);
    EXPECT_BYTES_EQ(expected, Bytes(out, out + 41));
    // 128 bytes at most, the reply mailslot's limit.
    const std::string fill(128 - 24 - 3, 'f');
    std::uint8_t big[200];
    EXPECT_EQ(WriteBrowseReply(fill, "", "", big, sizeof big), 128u);
    EXPECT_EQ(WriteBrowseReply(fill + "f", "", "", big, sizeof big), 0u);
    EXPECT_EQ(WriteBrowseReply("a", "b", "c", big, 29), 0u);
}

TEST(BrowseReply, CheckPointsIntoTheBuffer) {
    std::uint8_t buf[kReceiveBufferSize] = {};
    const Bytes a = GoodAnswer();
    std::memcpy(buf, a.data(), a.size());
    BrowseAnswer out;
    ASSERT_TRUE(CheckBrowseReply(buf, sizeof buf, a.size(), &out));
    EXPECT_EQ(out.first, reinterpret_cast<const char *>(buf + 24));
    EXPECT_STREQ(out.second, "beta");
    EXPECT_STREQ(out.third, "gamma");
}

TEST(BrowseReply, CheckDropsAnswersThatLeadOutside) {
    struct Case {
        const char *what;
        Bytes bytes;
        std::size_t received;
    };
    const Bytes good = GoodAnswer();
    const std::vector<Case> cases = {
        {"shorter than the header", Bytes(good.begin(), good.begin() + 23), 23},
        {"nothing at all", {}, 0},
        {"first offset at the end of the bytes", Answer(41, 30, 35, Bytes(good.begin() + 24, good.end())), 41},
        {"second offset past the bytes", Answer(24, 400, 35, Bytes(good.begin() + 24, good.end())), 41},
        {"third offset far out", Answer(24, 30, 0xFFFFFFF0u, Bytes(good.begin() + 24, good.end())), 41},
        {"more bytes than the buffer holds", good, kReceiveBufferSize + 1},
    };
    for (const auto &c : cases) {
        std::uint8_t buf[kReceiveBufferSize] = {};
        std::copy(c.bytes.begin(), c.bytes.end(), buf);
        BrowseAnswer out;
        EXPECT_FALSE(CheckBrowseReply(buf, sizeof buf, c.received, &out)) << c.what;
    }
    // A string that runs to the end of the buffer has no NUL in it.
    std::uint8_t full[kReceiveBufferSize];
    std::memset(full, 'z', sizeof full);
    const Bytes head = Answer(24, 24, 399);
    std::memcpy(full, head.data(), head.size());
    full[30] = 0;
    BrowseAnswer out;
    EXPECT_FALSE(CheckBrowseReply(full, sizeof full, sizeof full, &out));
    full[399] = 0; // now every string ends inside it
    EXPECT_TRUE(CheckBrowseReply(full, sizeof full, sizeof full, &out));
}

TEST(BrowseReply, StringCutShortByTheSenderEndsInTheZeroedBuffer) {
    std::uint8_t buf[kReceiveBufferSize] = {};
    const Bytes a = Answer(24, 24, 24, Bytes{'a', 'b', 'c'}); // no NUL sent
    std::memcpy(buf, a.data(), a.size());
    BrowseAnswer out;
    ASSERT_TRUE(CheckBrowseReply(buf, sizeof buf, a.size(), &out));
    EXPECT_STREQ(out.first, "abc");
}

// ---- The broadcast over a recording stand-in for the system ---------------

struct Read {
    std::uint32_t error;
    Bytes bytes;
};

struct FakeSystem {
    std::vector<std::string> calls;
    std::string computer_name = kName;
    std::uint32_t name_error = 0;
    std::uint32_t create_error = 0, open_error = 0, write_error = 0;
    std::deque<Read> reads; // when empty: 121
    // What the broadcast passed.
    std::string created_path, opened_path;
    std::uint32_t max_message = 0, read_timeout = 0;
    bool create_got_security = false;
    Bytes written;
    const std::uint8_t *buffer = nullptr;
    std::uint32_t buffer_size = 0;
    bool buffer_was_zeroed = true;
};

FakeSystem *g_fake = nullptr;
int g_attributes, g_descriptor; // addresses stand for the heap records
constexpr platform::MailslotHandle kReplyHandle = 101, kBrowseHandle = 202;

const BroadcastSystem kFakeCalls = {
    [](char *buffer, std::uint32_t *size) -> std::uint32_t {
        g_fake->calls.push_back("computer_name");
        EXPECT_EQ(*size, 35u);
        if (g_fake->name_error != 0) return g_fake->name_error;
        std::memcpy(buffer, g_fake->computer_name.c_str(), g_fake->computer_name.size() + 1);
        *size = static_cast<std::uint32_t>(g_fake->computer_name.size());
        return 0;
    },
    []() -> std::uint32_t {
        g_fake->calls.push_back("process_id");
        return kPid;
    },
    []() {
        g_fake->calls.push_back("acquire_security");
        return platform::OpenSecurity{&g_attributes, &g_descriptor};
    },
    [](platform::OpenSecurity &s) {
        EXPECT_EQ(s.attributes, &g_attributes);
        EXPECT_EQ(s.descriptor, &g_descriptor);
        g_fake->calls.push_back("release_security");
    },
    [](const char *path, std::uint32_t max_message, std::uint32_t timeout, const platform::OpenSecurity &s,
       platform::MailslotHandle *out) -> std::uint32_t {
        g_fake->calls.push_back("create_mailslot");
        g_fake->created_path = path;
        g_fake->max_message = max_message;
        g_fake->read_timeout = timeout;
        g_fake->create_got_security = s.attributes == &g_attributes;
        *out = g_fake->create_error != 0 ? platform::kNoMailslot : kReplyHandle;
        return g_fake->create_error;
    },
    [](const char *path, platform::MailslotHandle *out) -> std::uint32_t {
        g_fake->calls.push_back("open_for_write");
        g_fake->opened_path = path;
        *out = g_fake->open_error != 0 ? platform::kNoMailslot : kBrowseHandle;
        return g_fake->open_error;
    },
    [](platform::MailslotHandle h, const void *data, std::uint32_t size) -> std::uint32_t {
        g_fake->calls.push_back("write");
        EXPECT_EQ(h, kBrowseHandle);
        g_fake->written.assign(static_cast<const std::uint8_t *>(data), static_cast<const std::uint8_t *>(data) + size);
        return g_fake->write_error;
    },
    [](platform::MailslotHandle h, platform::MailslotHandle writer, std::uint32_t max_message, void *buffer,
       std::uint32_t size, std::uint32_t *received) -> std::uint32_t {
        g_fake->calls.push_back("read");
        EXPECT_EQ(h, kReplyHandle);
        EXPECT_EQ(writer, kBrowseHandle);
        EXPECT_EQ(max_message, 128u);
        auto *bytes = static_cast<std::uint8_t *>(buffer);
        g_fake->buffer = bytes;
        g_fake->buffer_size = size;
        for (std::uint32_t i = 0; i < size; ++i)
            if (bytes[i] != 0) g_fake->buffer_was_zeroed = false;
        if (g_fake->reads.empty()) return platform::kErrorSemTimeout;
        const Read r = g_fake->reads.front();
        g_fake->reads.pop_front();
        if (r.error != 0) return r.error;
        std::copy(r.bytes.begin(), r.bytes.end(), bytes);
        *received = static_cast<std::uint32_t>(r.bytes.size());
        return 0;
    },
    [](platform::MailslotHandle h) {
        g_fake->calls.push_back(h == kReplyHandle ? "close reply" : h == kBrowseHandle ? "close browse" : "close ?");
    },
};

struct Delivered {
    std::string first, second, third;
    std::int32_t user_value;
};
std::vector<Delivered> g_delivered;

void VEXSRV_CDECL Collect(const char *first, const char *second, const char *third, int32_t user_value) {
    // Every pointer lies inside the receive buffer, with its NUL there too.
    for (const char *p : {first, second, third}) {
        const auto *b = reinterpret_cast<const std::uint8_t *>(p);
        EXPECT_GE(b, g_fake->buffer);
        EXPECT_LT(b, g_fake->buffer + g_fake->buffer_size);
        EXPECT_NE(std::memchr(b, 0, g_fake->buffer + g_fake->buffer_size - b), nullptr);
    }
    g_delivered.push_back({first, second, third, user_value});
}

class BroadcastSteps : public ::testing::Test {
  protected:
    void SetUp() override {
        g_fake = &fake;
        g_delivered.clear();
    }
    void TearDown() override { g_fake = nullptr; }

    std::int32_t Run(const char *target, std::uint32_t timeout = 250) {
        std::memset(msg, '#', sizeof msg);
        return Broadcast(kFakeCalls, target, timeout, Collect, 77, msg, sizeof msg);
    }
    std::string Message() const { return std::string(msg, std::find(msg, msg + sizeof msg, '\0')); }

    FakeSystem fake;
    char msg[400];
};

const std::vector<std::string> kSuccessfulCalls = {
    "computer_name", "process_id", "acquire_security", "create_mailslot", "open_for_write", "write",
};
std::vector<std::string> Then(std::vector<std::string> calls, const std::vector<std::string> &more) {
    calls.insert(calls.end(), more.begin(), more.end());
    return calls;
}
const std::vector<std::string> kReleaseAll = {"close browse", "close reply", "release_security"};

TEST_F(BroadcastSteps, CallsInOrderAndReleasesInReverse) {
    fake.reads = {{0, GoodAnswer()}, {0, GoodAnswer()}};
    EXPECT_EQ(Run(nullptr, 1234), 1);
    EXPECT_EQ(fake.calls, Then(kSuccessfulCalls, Then({"read", "read", "read"}, kReleaseAll)));
    EXPECT_EQ(fake.created_path, kReplyAsCreated);
    EXPECT_EQ(fake.max_message, 128u);
    EXPECT_EQ(fake.read_timeout, 1234u);
    EXPECT_TRUE(fake.create_got_security);
    EXPECT_EQ(fake.opened_path, "\\\\*\\mailslot\\Tidewell\\Browse");
    EXPECT_BYTES_EQ(WorkedExample(), fake.written);
    EXPECT_EQ(fake.buffer_size, 400u);
    EXPECT_TRUE(fake.buffer_was_zeroed);
    ASSERT_EQ(g_delivered.size(), 2u);
    EXPECT_EQ(g_delivered[1].first, "alpha");
    EXPECT_EQ(g_delivered[1].second, "beta");
    EXPECT_EQ(g_delivered[1].third, "gamma");
    EXPECT_EQ(g_delivered[1].user_value, 77);
    EXPECT_EQ(Message(), "");
}

TEST_F(BroadcastSteps, TargetNameRule) {
    const std::vector<std::pair<const char *, std::string>> cases = {
        {"PLANT7", "\\\\PLANT7\\mailslot\\Tidewell\\Browse"},
        {"PLANT7.corp.example", "\\\\PLANT7\\mailslot\\Tidewell\\Browse"},
        {".corp", "\\\\\\mailslot\\Tidewell\\Browse"}, // empty, not "*"
        {"", "\\\\\\mailslot\\Tidewell\\Browse"},
        {"ABCDEFGHIJKLMNO", "\\\\ABCDEFGHIJKLMNO\\mailslot\\Tidewell\\Browse"},
        {"ABCDEFGHIJKLMNO.and-a-long-domain", "\\\\ABCDEFGHIJKLMNO\\mailslot\\Tidewell\\Browse"},
    };
    for (const auto &[target, path] : cases) {
        fake = FakeSystem{};
        EXPECT_EQ(Run(target), 1) << target;
        EXPECT_EQ(fake.opened_path, path) << target;
    }
}

TEST_F(BroadcastSteps, SixteenCharactersAreRefusedBeforeAnyMailslot) {
    for (const char *target : {"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP.corp"}) {
        fake = FakeSystem{};
        EXPECT_EQ(Run(target), 0);
        EXPECT_EQ(Message(), "Domain name or node name cannot be greater than 15 characters");
        EXPECT_EQ(fake.calls, std::vector<std::string>{"computer_name"});
    }
}

TEST_F(BroadcastSteps, MissingCallbackIsRefusedBeforeAnything) {
    std::memset(msg, '#', sizeof msg);
    EXPECT_EQ(Broadcast(kFakeCalls, nullptr, 0, nullptr, 0, msg, sizeof msg), 0);
    EXPECT_EQ(Message(), "callback should be defined");
    EXPECT_TRUE(fake.calls.empty());
}

TEST_F(BroadcastSteps, EachFailureHasItsMessageAndReleasesWhatWasHeld) {
    struct Case {
        void (*arrange)(FakeSystem &);
        std::uint32_t code;
        std::string message;
        std::vector<std::string> calls;
    };
    const std::vector<Case> cases = {
        {[](FakeSystem &f) { f.name_error = 123; }, 123, "Cannot obtain computer name, error = ", {"computer_name"}},
        {[](FakeSystem &f) { f.create_error = 2; },
         2,
         std::string("Cannot open mailslot(") + kReplyAsCreated + ") as server, error = ",
         {"computer_name", "process_id", "acquire_security", "create_mailslot", "release_security"}},
        {[](FakeSystem &f) { f.open_error = 53; },
         53,
         "Cannot open mailslot ('\\\\PLANT7\\mailslot\\Tidewell\\Browse') as client, Error = ",
         {"computer_name", "process_id", "acquire_security", "create_mailslot", "open_for_write", "close reply",
          "release_security"}},
        {[](FakeSystem &f) { f.write_error = 109; }, 109,
         "Error in WriteFile to \\\\PLANT7\\mailslot\\Tidewell\\Browse. Error = ", Then(kSuccessfulCalls, kReleaseAll)},
        {[](FakeSystem &f) {
             f.reads = {{234, {}}};
         },
         234, std::string("Error in ReadFile for ") + kReplyAsCreated + ". Error = ",
         Then(kSuccessfulCalls, Then({"read"}, kReleaseAll))},
    };
    for (const auto &c : cases) {
        fake = FakeSystem{};
        c.arrange(fake);
        EXPECT_EQ(Run("PLANT7.corp"), 0) << c.message;
        EXPECT_EQ(Message(), c.message + test::SystemText(c.code));
        EXPECT_EQ(fake.calls, c.calls) << c.message;
        EXPECT_TRUE(g_delivered.empty());
    }
}

TEST_F(BroadcastSteps, AnswersBeforeAFailedReadStayDelivered) {
    fake.reads = {{0, GoodAnswer()}, {2, {}}};
    EXPECT_EQ(Run(nullptr), 0);
    EXPECT_EQ(g_delivered.size(), 1u);
    EXPECT_EQ(Message(), std::string("Error in ReadFile for ") + kReplyAsCreated + ". Error = " + test::SystemText(2));
}

TEST_F(BroadcastSteps, TimeOutAndAccessDeniedEndTheCollectionQuietly) {
    EXPECT_EQ(Run(nullptr, 0), 1);
    EXPECT_TRUE(g_delivered.empty());
    EXPECT_EQ(Message(), "");
    EXPECT_EQ(fake.calls, Then(kSuccessfulCalls, Then({"read"}, kReleaseAll)));

    fake = FakeSystem{};
    fake.reads = {{0, GoodAnswer()}, {5, {}}, {0, GoodAnswer()}};
    EXPECT_EQ(Run(nullptr), 1);
    EXPECT_EQ(g_delivered.size(), 1u);
    EXPECT_EQ(Message(), "");
}

TEST_F(BroadcastSteps, HostileAnswersNeverReachTheCallback) {
    Bytes unterminated(kReceiveBufferSize, 'z');
    const Bytes head = Answer(24, 24, 24);
    std::copy(head.begin(), head.end(), unterminated.begin());
    const Bytes good = GoodAnswer();
    const Bytes strings(good.begin() + 24, good.end());
    Bytes second = good;
    second[24] = 'A';
    fake.reads = {
        {0, good},
        {0, {}},                                        // an empty message
        {0, Bytes(good.begin(), good.begin() + 20)},    // cut inside the header
        {0, Answer(24, 30, 60, strings)},               // past the bytes received
        {0, Answer(0x7FFFFFFF, 24, 24, Bytes{'x', 0})}, // far outside
        {0, unterminated},                              // no NUL in the buffer
        {0, second},
    };
    EXPECT_EQ(Run(nullptr), 1);
    ASSERT_EQ(g_delivered.size(), 2u);
    EXPECT_EQ(g_delivered[0].first, "alpha");
    EXPECT_EQ(g_delivered[1].first, "Alpha");
}

TEST_F(BroadcastSteps, MessageBufferIsCopiedBoundedAndNeverWrittenWhenAbsent) {
    fake.name_error = 5;
    const std::string full = "Cannot obtain computer name, error = " + test::SystemText(5);
    char small[10];
    std::memset(small, '#', sizeof small);
    EXPECT_EQ(Broadcast(kFakeCalls, nullptr, 0, Collect, 0, small, sizeof small), 0);
    EXPECT_EQ(std::string(small, sizeof small), full.substr(0, 10)); // no terminator
    std::memset(small, '#', sizeof small);
    EXPECT_EQ(Broadcast(kFakeCalls, nullptr, 0, Collect, 0, small, 0), 0);
    EXPECT_EQ(Broadcast(kFakeCalls, nullptr, 0, Collect, 0, small, -4), 0);
    EXPECT_EQ(std::string(small, sizeof small), std::string(10, '#'));
    EXPECT_EQ(Broadcast(kFakeCalls, nullptr, 0, Collect, 0, nullptr, 100), 0);
    // Success clears the first byte only.
    fake = FakeSystem{};
    std::memset(small, '#', sizeof small);
    EXPECT_EQ(Broadcast(kFakeCalls, nullptr, 0, Collect, 0, small, sizeof small), 1);
    EXPECT_EQ(std::string(small, sizeof small), std::string(1, '\0') + std::string(9, '#'));
}

TEST_F(BroadcastSteps, LongestComputerNameStillFitsThePacket) {
    fake.computer_name = std::string(34, 'N');
    EXPECT_EQ(Run(nullptr), 1);
    // 28 + 35 + the 67-character reply path and its NUL.
    Bytes expected = test::Zeros(131);
    PutBE32(expected, 0, 131);
    PutBE32(expected, 4, 1);
    PutBE32(expected, 8, 1);
    PutBE32(expected, 12, 28);
    PutBE32(expected, 16, 63);
    PutStr(expected, 28, fake.computer_name);
    PutStr(expected, 63, "\\\\" + fake.computer_name + "\\mailslot\\Tidewell\\BrowseR\\1a2b");
    EXPECT_BYTES_EQ(expected, fake.written);
}

} // namespace
} // namespace vex::discovery
