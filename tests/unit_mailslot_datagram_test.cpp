// The network mailslot datagram (Linux): its limits, and the port setting.
#include <gtest/gtest.h>

#if !defined(_WIN32)

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/posix/mailslot_datagram.h"

namespace vex::platform::posix {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(MailslotDatagram, LimitsOfPathAndMessageHoldBothWays) {
    std::uint8_t out[kMaxDatagramSize + 16];
    const std::string longest_path(255, 'p');
    const Bytes longest_message(424, 0x5A);
    const std::size_t n = WriteMailslotDatagram(longest_path, longest_message.data(), longest_message.size(), out,
                                                sizeof out);
    ASSERT_EQ(n, 8u + 255 + 424);
    EXPECT_EQ(out[5], 255);
    EXPECT_EQ(out[6] << 8 | out[7], 424);
    MailslotDatagram d;
    ASSERT_TRUE(ParseMailslotDatagram(out, n, &d));
    EXPECT_EQ(d.path, longest_path);
    EXPECT_EQ(d.message.size(), 424u);

    EXPECT_EQ(WriteMailslotDatagram(longest_path + "p", "x", 1, out, sizeof out), 0u);
    EXPECT_EQ(WriteMailslotDatagram("a", longest_message.data(), 425, out, sizeof out), 0u);
    EXPECT_EQ(WriteMailslotDatagram("a", "x", 1, out, 9), 0u); // one byte short of room
    for (const char *bad : {"", "a/b", "a\tb", "a\x7f"})
        EXPECT_EQ(WriteMailslotDatagram(bad, "x", 1, out, sizeof out), 0u) << bad;
    EXPECT_EQ(WriteMailslotDatagram(std::string_view("a\0b", 3), "x", 1, out, sizeof out), 0u);

    // A message length over 424 is refused even when the bytes are there.
    Bytes over = {'T', 'W', 'M', 'S', 1, 1, 0x01, 0xA9, 'a'};
    over.resize(9 + 425, 0);
    EXPECT_FALSE(ParseMailslotDatagram(over.data(), over.size(), &d));
}

TEST(MailslotDatagram, PortComesFromTheEnvironmentWhenItIsANumber) {
    const char *old = std::getenv("VEXSRV_BROWSE_PORT");
    const std::string saved = old != nullptr ? old : "";
    const std::pair<const char *, int> cases[] = {{"7480", 7480}, {"0", 0},       {"65535", 65535}, {"65536", 7471},
                                                  {"-1", 7471},   {"12ab", 7471}, {"", 7471},       {"+5", 7471}};
    for (const auto &[text, port] : cases) {
        ::setenv("VEXSRV_BROWSE_PORT", text, 1);
        EXPECT_EQ(NetworkMailslotPort(), port) << text;
    }
    ::unsetenv("VEXSRV_BROWSE_PORT");
    EXPECT_EQ(NetworkMailslotPort(), 7471);
    if (old != nullptr) ::setenv("VEXSRV_BROWSE_PORT", saved.c_str(), 1);
}

} // namespace
} // namespace vex::platform::posix

#endif
