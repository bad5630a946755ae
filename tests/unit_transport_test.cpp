// Records, code words, bounded copy, pipe names and the connection message.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fake_service.h"
#include "tests/support/system_text.h"
#include "transport/operation.h"
#include "transport/record.h"
#include "transport/transaction.h"
#include "util/error_desc.h"
#include "util/fixed_text.h"
#include "util/sha256.h"

namespace vex {
namespace {

TEST(CodeWord, KeepsOnlyTheLowSixteenBitsOfTheModifier) {
    EXPECT_EQ(MakeCode(8, 0xFFFF), 0xFFFF0008u);
    EXPECT_EQ(MakeCode(3, 5), 0x50003u);
    EXPECT_EQ(MakeCode(3, 0x12345), 0x23450003u);
    EXPECT_EQ(MakeCode(1, 1), 0x00010001u);
}

TEST(Reply, SixteenBitValueIsSignExtendedFromTheLowHalf) {
    TaskServiceReply r(kLongReplySize);
    r.Clear();
    r.PutU32(kRepValue, 0xFFFF0000u);
    EXPECT_EQ(r.Value16(), 0);
    r.PutU32(kRepValue, 0x0000FFFFu);
    EXPECT_EQ(r.Value16(), -1);
    r.PutU32(kRepValue, 0x00017FFFu);
    EXPECT_EQ(r.Value16(), 0x7FFF);
}

TEST(Reply, TextWithoutZeroEndsAtTheLastByteOfTheReply) {
    TaskServiceReply r(kShortReplySize);
    r.Clear();
    for (std::size_t i = kRepText; i < kShortReplySize; ++i) r.PutU8(i, 'x');
    // Bytes past the offered size never count.
    r.PutU8(kShortReplySize, 'y');
    EXPECT_EQ(r.Text(), std::string(512, 'x'));
}

TEST(Request, WritesThatDoNotFitAreRefused) {
    TaskServiceRequest q;
    q.Clear();
    EXPECT_TRUE(q.PutText(kRequestSize - 2, "a"));
    EXPECT_FALSE(q.PutText(kRequestSize - 1, "a"));
    EXPECT_FALSE(q.PutU32(kRequestSize - 3, 1));
    EXPECT_FALSE(q.PutText(kRequestSize + 5, ""));
    EXPECT_EQ(q.U8(kRequestSize - 2), 'a');
}

// The request keeps only the bytes up to its last write: built over garbage,
// written at scattered offsets, it must still go out as the same 8024 bytes
// as a record cleared whole and written the same way.
TEST(Request, HoldsOnlyWhatWasWrittenAndIsExactOverGarbage) {
    alignas(TaskServiceRequest) unsigned char storage[sizeof(TaskServiceRequest)];
    std::memset(storage, 0xAB, sizeof storage);
    auto *q = new (storage) TaskServiceRequest;
    std::vector<std::uint8_t> expected(kRequestSize, 0);
    EXPECT_EQ(q->filled(), 0u);
    EXPECT_EQ(q->U32(0), 0u);

    q->SetCode(0xFFFF0008u);
    expected[4] = 0x08, expected[6] = 0xFF, expected[7] = 0xFF;
    EXPECT_EQ(q->filled(), 8u);
    ASSERT_TRUE(q->PutText(96, "loader"));
    std::memcpy(&expected[96], "loader", 7);
    ASSERT_TRUE(q->PutU8(40, 7)); // below the bytes held: no gap to clear
    expected[40] = 7;
    EXPECT_EQ(q->filled(), 103u);
    EXPECT_EQ(q->U32(100), 0x7265u); // "er", its zero and a byte not held
    EXPECT_EQ(q->U8(5000), 0u);
    // A refused write changes nothing, not even the bytes held.
    EXPECT_FALSE(q->PutText(kRequestSize - 1, "a"));
    EXPECT_FALSE(q->PutU32(kRequestSize - 3, 1));
    EXPECT_TRUE(q->Area(kRequestSize, 1).empty());
    EXPECT_EQ(q->filled(), 103u);
    // An area comes zero, whatever the memory held.
    const auto area = q->Area(200, 16);
    ASSERT_EQ(area.size(), 16u);
    for (std::uint8_t b : area) EXPECT_EQ(b, 0);
    area[3] = 9;
    expected[203] = 9;
    EXPECT_EQ(q->filled(), 216u);

    q->ZeroTail();
    EXPECT_EQ(q->filled(), kRequestSize);
    EXPECT_EQ(std::vector<std::uint8_t>(q->data(), q->data() + kRequestSize), expected);
    q->~TaskServiceRequest();
}

class BoundedCopyTest : public ::testing::Test {
  protected:
    char buf[8];
    void SetUp() override { std::memset(buf, '#', sizeof buf); }
};

TEST_F(BoundedCopyTest, ShorterTextIsZeroFilledToTheLength) {
    BoundedCopy(buf, 6, "abc");
    EXPECT_EQ(std::string(buf, 8), std::string("abc\0\0\0##", 8));
}

TEST_F(BoundedCopyTest, TextThatFillsTheLengthHasNoTerminator) {
    BoundedCopy(buf, 3, "abc");
    EXPECT_EQ(std::string(buf, 8), "abc#####");
    BoundedCopy(buf, 1, "xyz");
    EXPECT_EQ(std::string(buf, 8), "xbc#####");
}

TEST_F(BoundedCopyTest, ZeroNegativeLengthAndNullBufferWriteNothing) {
    BoundedCopy(buf, 0, "abc");
    BoundedCopy(buf, -5, "abc");
    BoundedCopy(nullptr, 5, "abc");
    EXPECT_EQ(std::string(buf, 8), "########");
}

TEST(PipeName, EmptySuffixGivesTwoUnderscores) {
    char name[kPipeNameCapacity];
    ASSERT_TRUE(ComposePipeName("PLANT7", "", name));
    EXPECT_STREQ(name, "\\\\PLANT7\\pipe\\ZEPTAR__TSK_REQ");
    ASSERT_TRUE(ComposePipeName("PLANT7", "_B", name));
    EXPECT_STREQ(name, "\\\\PLANT7\\pipe\\ZEPTAR__B_TSK_REQ");
}

TEST(PipeName, FitsExactlyAt488CharactersAndNotBeyond) {
    char name[kPipeNameCapacity];
    EXPECT_TRUE(ComposePipeName(std::string(400, 'n').c_str(), std::string(88, 's').c_str(), name));
    EXPECT_EQ(std::strlen(name), 511u);
    EXPECT_FALSE(ComposePipeName(std::string(400, 'n').c_str(), std::string(89, 's').c_str(), name));
}

TEST(ConnectionMessage, NamesDisplayNameAndNodeWithOneLineFeed) {
    char buf[300];
    CopyConnectionMessage("PLANT7", "", buf, sizeof buf);
    EXPECT_STREQ(buf, "Cannot connect to service 'Kestrane Tidewell Task Service' on node 'PLANT7'\n"
                      "Please make sure the service is running.");
    EXPECT_EQ(std::strlen(buf), 110u + 6u);
}

TEST(ConnectionMessage, IsCutToItsBufferForVeryLongNames) {
    char buf[400];
    std::memset(buf, '#', sizeof buf);
    CopyConnectionMessage(std::string(300, 'n').c_str(), "_s", buf, sizeof buf);
    EXPECT_EQ(std::strlen(buf), 255u);
    EXPECT_EQ(buf[399], 0); // zero-filled to the length
}

TEST(FixedText, CutsAndReportsOverflow) {
    FixedText<6> t;
    t.Append("abc").AppendHex(0x1f);
    EXPECT_STREQ(t.c_str(), "abc1f");
    EXPECT_FALSE(t.overflowed());
    t.Append("zz");
    EXPECT_STREQ(t.c_str(), "abc1f");
    EXPECT_TRUE(t.overflowed());
    FixedText<32> d;
    d.AppendDecimal(-2147483648LL).Append(' ').AppendHex(0);
    EXPECT_STREQ(d.c_str(), "-2147483648 0");
}

TEST(ErrorDesc, GivesTheSystemsTextWithoutLineBreak) {
    for (std::uint32_t code : {2u, 5u, 53u, 109u, 121u, 123u, 234u})
        EXPECT_EQ(util::VexWin32ErrorDesc(code).view(), test::SystemText(code)) << code;
}

// The test vectors of FIPS 180-2 and the NIST examples, given whole and in
// pieces that cross the block and padding boundaries.
TEST(Sha256, MatchesTheNistVectors) {
    auto hex = [](const util::Sha256::Digest &d) {
        std::string out;
        for (std::uint8_t b : d) out += "0123456789abcdef"[b >> 4], out += "0123456789abcdef"[b & 0xF];
        return out;
    };
    EXPECT_EQ(hex(util::Sha256::Of("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex(util::Sha256::Of("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(hex(util::Sha256::Of(two_blocks)), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    for (std::size_t piece : {1u, 55u, 63u, 64u}) {
        util::Sha256 h;
        for (std::size_t at = 0; at < two_blocks.size(); at += piece) h.Update(two_blocks.substr(at, piece));
        EXPECT_EQ(hex(h.Finish()), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1") << piece;
    }
    util::Sha256 million;
    const std::string thousand(1000, 'a');
    for (int i = 0; i < 1000; ++i) million.Update(thousand);
    EXPECT_EQ(hex(million.Finish()), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(ErrorDesc, NamesUnknownCodes) {
    EXPECT_EQ(util::VexWin32ErrorDesc(0x7FFFFFF0u).view(), "Unknown error 2147483632");
}

// The reply record is not cleared before the exchange: built over memory full
// of garbage, an operation must still read every byte a short answer did not
// send as zero, and a second exchange in the same records (a check's) must
// leave the bytes its answer does not cover as the first left them.
TEST(Reply, BytesTheAnswerDidNotSendReadAsZeroOverGarbage) {
    test::FakeService svc;
    alignas(Operation) unsigned char storage[sizeof(Operation)];
    std::memset(storage, 0xAB, sizeof storage);
    std::int32_t value = -1, status = -1;
    auto *call = new (storage) Operation(".", svc.suffix().c_str(), Outputs{&value, &status, nullptr, 0},
                                         kShortReplySize);
    svc.Script(test::MakeReply(0, 7, "first", 40));
    svc.Script(test::MakeReply(3, 0, "", 16));
    ASSERT_TRUE(call->Exchange());
    const std::uint8_t *r = call->reply().data();
    EXPECT_EQ(call->reply().Value(), 7);
    EXPECT_EQ(call->reply().Text(), "first");
    for (std::size_t i = 40; i < kShortReplySize; ++i) ASSERT_EQ(r[i], 0) << "byte " << i;
    ASSERT_TRUE(call->Exchange());
    EXPECT_EQ(call->reply().Status(), 3);
    EXPECT_EQ(call->reply().Value(), 7);
    EXPECT_EQ(call->reply().Text(), "first");
    for (std::size_t i = 40; i < kShortReplySize; ++i) ASSERT_EQ(r[i], 0) << "byte " << i;
    call->~Operation();
}

} // namespace
} // namespace vex

#if !defined(_WIN32)
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <map>

#include "platform/pipe_server.h"
#include "platform/platform.h"
#include "platform/posix/local_names.h"
#include "tests/support/fake_service.h"

namespace vex {
namespace {

std::string AddressOf(const std::string &path) {
    sockaddr_un addr{};
    socklen_t len = 0;
    if (platform::posix::AbstractAddress("pipe", path, &addr, &len) != 0) return "refused";
    return std::string(addr.sun_path, len - offsetof(sockaddr_un, sun_path));
}

// Names that fit keep the socket name they always had, folded; longer ones
// end in 160 bits of SHA-256 of the whole folded name (digest computed
// independently), and so fill the address.
TEST(SocketName, ShortNamesKeepTheirNameLongOnesEndInADigest) {
    EXPECT_EQ(AddressOf("ZEPTAR_Plant\\B_TSK_REQ"), std::string("\0tidewell/pipe/zeptar_plant/b_tsk_req", 37));
    const std::string longest_whole = "ZEPTAR_" + std::string(78, 'S') + "_TSK_REQ";
    EXPECT_EQ(AddressOf(longest_whole), std::string(1, '\0') + "tidewell/pipe/zeptar_" + std::string(78, 's') + "_tsk_req");
    const std::string path = "ZEPTAR_Sub\\Dir_\xC9" + std::string(90, 'A') + "_TSK_REQ";
    EXPECT_EQ(AddressOf(path), std::string(1, '\0') + "tidewell/pipe/zeptar_sub/dir_\xE9" + std::string(36, 'a') +
                                   "\\958c0a5b7acf482a9523bcdb2aec555930993fff");
    EXPECT_EQ(AddressOf(path).size(), sizeof(sockaddr_un::sun_path));
    // Case does not change the digest; any other byte does.
    std::string lower = path;
    for (char &c : lower) c = static_cast<char>(platform::posix::FoldNameByte(static_cast<unsigned char>(c)));
    EXPECT_EQ(AddressOf(lower), AddressOf(path));
    std::string last = path;
    last.back() = 'R' + 1;
    EXPECT_NE(AddressOf(last), AddressOf(path));
    EXPECT_EQ(AddressOf(""), "refused");
}

// The transport hands the path over in pieces; cut anywhere, they give the
// address of the whole path, in both forms.
TEST(SocketName, PathInPiecesGivesTheAddressOfTheWholePath) {
    for (const std::string &path : {std::string("ZEPTAR_Plant\\B_TSK_REQ"),
                                   "ZEPTAR_Sub\\Dir_\xC9" + std::string(90, 'A') + "_TSK_REQ"}) {
        const std::string whole = AddressOf(path);
        for (std::size_t a = 0; a <= path.size(); a += 7) {
            for (std::size_t b = a; b <= path.size(); b += 11) {
                const std::string_view v(path);
                const std::string_view pieces[] = {v.substr(0, a), v.substr(a, b - a), v.substr(b)};
                sockaddr_un addr{};
                socklen_t len = 0;
                ASSERT_EQ(platform::posix::AbstractAddress("pipe", pieces, &addr, &len), 0u);
                EXPECT_EQ(std::string(addr.sun_path, len - offsetof(sockaddr_un, sun_path)), whole) << a << ' ' << b;
            }
        }
    }
    // Every byte, in runs of 64 that fit the address whole, is folded as the
    // code page's table says, word at a time or not.
    for (int start = 1; start < 256; start += 64) {
        std::string path, expected;
        for (int c = start; c < start + 64 && c < 256; ++c) {
            path += static_cast<char>(c);
            expected += c == '\\' ? '/' : static_cast<char>(platform::posix::FoldNameByte(static_cast<unsigned char>(c)));
        }
        EXPECT_EQ(AddressOf(path), std::string(1, '\0') + "tidewell/pipe/" + expected) << start;
    }
    const std::string_view empty[] = {"", ""};
    sockaddr_un addr{};
    socklen_t len = 0;
    EXPECT_EQ(platform::posix::AbstractAddress("pipe", empty, &addr, &len), 123u);
}

// Code page 1252's case pairs, from its table: ASCII, Latin-1 but × and ÷,
// and Š Œ Ž Ÿ in the 0x80 row.
TEST(SocketName, FoldsAsCodePage1252) {
    std::map<int, int> pairs;
    for (int c = 'A'; c <= 'Z'; ++c) pairs[c] = c + 32;
    for (int c = 0xC0; c <= 0xDE; ++c)
        if (c != 0xD7) pairs[c] = c + 32;
    pairs[0x8A] = 0x9A;
    pairs[0x8C] = 0x9C;
    pairs[0x8E] = 0x9E;
    pairs[0x9F] = 0xFF;
    for (int c = 0; c < 256; ++c) {
        const int expected = pairs.count(c) != 0 ? pairs[c] : c;
        EXPECT_EQ(platform::posix::FoldNameByte(static_cast<unsigned char>(c)), expected) << c;
    }
}

// A server that closes before it reads the request discards it, and the
// kernel reports a reset: the caller sees the pipe ended, as for a hang-up
// after the request was read.
TEST(PipeClient, ServerThatClosesWithoutReadingIsAHangUp) {
    const std::string name = "ZEPTAR_" + test::UniqueSuffix("_unread") + "_TSK_REQ";
    std::uint32_t error = 0;
    auto server = platform::ServePipe(name, &error, 5);
    ASSERT_TRUE(server) << error;
    std::thread client([&] {
        std::uint8_t request[8024] = {1};
        std::uint8_t reply[536];
        const std::string pipe_name = "\\\\.\\pipe\\" + name;
        std::uint32_t received = 0;
        EXPECT_EQ(platform::PipeTransact(pipe_name.c_str(), request, sizeof request, reply, sizeof reply, &received),
                  109u);
    });
    auto conn = server->Accept();
    ASSERT_TRUE(conn);
    // Let the request arrive, and leave it unread. (Should the close come
    // first, the send fails: the pipe has ended just the same.)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    conn.reset();
    client.join();
}

// A client that connects and never sends is dropped after the silence limit,
// and the server goes on serving.
TEST(PipeServer, SilentClientIsDroppedAndOthersAreServed) {
    const std::string name = "ZEPTAR_" + test::UniqueSuffix("_silent") + "_TSK_REQ";
    std::uint32_t error = 0;
    auto server = platform::ServePipe(name, &error, 1);
    ASSERT_TRUE(server) << error;

    sockaddr_un addr{};
    socklen_t len = 0;
    ASSERT_EQ(platform::posix::AbstractAddress("pipe", name, &addr, &len), 0u);
    const int silent = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    ASSERT_EQ(::connect(silent, reinterpret_cast<sockaddr *>(&addr), len), 0);

    auto conn = server->Accept();
    ASSERT_TRUE(conn);
    std::vector<std::uint8_t> message;
    bool truncated = false;
    EXPECT_FALSE(conn->ReadMessage(message, 8024, &truncated));
    ::close(silent);
    conn.reset();

    std::thread client([&] {
        std::uint8_t request[8024] = {1};
        std::uint8_t reply[536];
        char pipe_name[128];
        std::snprintf(pipe_name, sizeof pipe_name, "\\\\.\\pipe\\%s", name.c_str());
        std::uint32_t received = 0;
        EXPECT_EQ(platform::PipeTransact(pipe_name, request, sizeof request, reply, sizeof reply, &received), 0u);
        EXPECT_EQ(received, sizeof reply);
    });
    auto next = server->Accept();
    ASSERT_TRUE(next);
    ASSERT_TRUE(next->ReadMessage(message, 8024, &truncated));
    const std::vector<std::uint8_t> answer(536, 0);
    EXPECT_TRUE(next->WriteMessage(answer.data(), answer.size()));
    client.join();
}

} // namespace
} // namespace vex
#endif
