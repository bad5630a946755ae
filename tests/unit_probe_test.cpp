// The reachability probe: names it never resolves, loopback, a host that
// ignores echo, both kinds of ICMP socket and an answer by ICMP error. Only
// loopback and hosts of the tests' own namespaces are probed.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/platform.h"
#include "tests/support/netns.h"
#include "transport/probe.h"

#if !defined(_WIN32)
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#endif

namespace vex {
namespace {

using platform::EchoHost;
using platform::EchoOutcome;
using test::SilentHost;

// Long enough for loopback, short enough to keep silent hosts cheap.
constexpr std::uint32_t kShortTimeoutMs = 300;

TEST(HostProbe, NamesThatAreNoHostNamesAnswerReachable) {
    EXPECT_TRUE(HostProbe(".", kProbeTimeoutMs));
    EXPECT_TRUE(HostProbe("", kProbeTimeoutMs));
    EXPECT_TRUE(HostProbe(nullptr, kProbeTimeoutMs));
}

TEST(HostProbe, LoopbackAnswers) {
    EXPECT_EQ(EchoHost("127.0.0.1", kProbeTimeoutMs), EchoOutcome::Replied);
    EXPECT_TRUE(HostProbe("127.0.0.1", kProbeTimeoutMs));
    EXPECT_TRUE(HostProbe("localhost", kProbeTimeoutMs));
}

TEST(HostProbe, SilentHostIsUnreachable) {
    SilentHost host;
    if (!host.ok()) GTEST_SKIP() << host.why();
    EXPECT_EQ(EchoHost(host.address().c_str(), kShortTimeoutMs), EchoOutcome::NoReply);
    EXPECT_FALSE(HostProbe(host.address().c_str(), kShortTimeoutMs));
}

#if !defined(_WIN32)

// Runs fn in a private network, or skips the test with the reason.
#define VEX_IN_PRIVATE_NETWORK(fn)                                                                                     \
    do {                                                                                                               \
        const std::string why = test::RunInPrivateNetwork(fn);                                                         \
        if (!why.empty()) GTEST_SKIP() << why;                                                                         \
    } while (0)

// A name server on 127.0.0.1 of the private network that refuses questions.
class RefusingNameServer {
  public:
    RefusingNameServer() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(53);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    ~RefusingNameServer() { Close(); }
    // Later questions find no server, and the resolver gives up at once.
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool bound() const { return bound_; }
    // Answers the first question that comes within wait_ms; false when none came.
    bool AnswerOne(int wait_ms) {
        pollfd p{fd_, POLLIN, 0};
        while (::poll(&p, 1, wait_ms) > 0) {
            unsigned char msg[512];
            sockaddr_in from{};
            socklen_t from_len = sizeof from;
            const ssize_t n = ::recvfrom(fd_, msg, sizeof msg, 0, reinterpret_cast<sockaddr *>(&from), &from_len);
            if (n < 12) continue;
            msg[2] |= 0x80;                                           // a response
            msg[3] = static_cast<unsigned char>((msg[3] & 0xF0) | 5); // REFUSED
            ::sendto(fd_, msg, static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr *>(&from), from_len);
            return true;
        }
        return false;
    }

  private:
    int fd_;
    bool bound_ = false;
};

TEST(HostProbe, DotAsksNoNameServerWhereTheSystemResolverWould) {
    VEX_IN_PRIVATE_NETWORK([] {
        RefusingNameServer server;
        ASSERT_TRUE(server.bound());
        EXPECT_TRUE(HostProbe(".", kProbeTimeoutMs));
        EXPECT_FALSE(server.AnswerOne(200));

        // The same check sees the resolver's question about ".".
        std::thread lookup([] {
            addrinfo hints{};
            hints.ai_family = AF_INET;
            addrinfo *list = nullptr;
            if (::getaddrinfo(".", nullptr, &hints, &list) == 0) ::freeaddrinfo(list);
        });
        EXPECT_TRUE(server.AnswerOne(2000));
        server.Close();
        lookup.join();
    });
}

TEST(HostProbe, NamesThatDoNotResolveToIpv4AreNotProbed) {
    VEX_IN_PRIVATE_NETWORK([] {
        // No name server answers in the private network.
        EXPECT_EQ(EchoHost("no-such-node.invalid", kProbeTimeoutMs), EchoOutcome::NotCarriedOut);
        EXPECT_TRUE(HostProbe("no-such-node.invalid", kProbeTimeoutMs));
        EXPECT_EQ(EchoHost("vexsrv-ipv6-only", kProbeTimeoutMs), EchoOutcome::NotCarriedOut);
        EXPECT_TRUE(HostProbe("vexsrv-ipv6-only", kProbeTimeoutMs));
    });
}

// Ping sockets where the system allows them, raw sockets otherwise.
class EchoSocket : public ::testing::TestWithParam<bool> {
  protected:
    const char *PingGroups() const { return GetParam() ? "0 2147483647" : "1 0"; }
};

TEST_P(EchoSocket, TellsAnAnswerFromSilence) {
    VEX_IN_PRIVATE_NETWORK([groups = PingGroups()] {
        ASSERT_TRUE(test::WriteSetting("net/ipv4/ping_group_range", groups));
        EXPECT_EQ(EchoHost("127.0.0.1", kProbeTimeoutMs), EchoOutcome::Replied);
        ASSERT_TRUE(test::WriteSetting("net/ipv4/icmp_echo_ignore_all", "1"));
        EXPECT_EQ(EchoHost("127.0.0.1", kShortTimeoutMs), EchoOutcome::NoReply);
    });
}

// A neighbour that never answers: the system soon gives up and reports the
// host unreachable by an ICMP error, which answers the echo as on Windows.
// The veth pair and its addresses exist only in the private network.
TEST_P(EchoSocket, CountsAnIcmpErrorAsAnAnswer) {
    VEX_IN_PRIVATE_NETWORK([groups = PingGroups()] {
        ASSERT_TRUE(test::WriteSetting("net/ipv4/ping_group_range", groups));
        ASSERT_EQ(std::system("ip link add vxe0 type veth peer name vxe1 >/dev/null 2>&1 && "
                              "ip addr add 10.213.0.1/24 dev vxe0 && ip link set vxe0 up && ip link set vxe1 up"),
                  0);
        ASSERT_TRUE(test::WriteSetting("net/ipv4/neigh/vxe0/mcast_solicit", "1"));
        ASSERT_TRUE(test::WriteSetting("net/ipv4/neigh/vxe0/retrans_time_ms", "100"));
        EXPECT_EQ(EchoHost("10.213.0.2", kProbeTimeoutMs), EchoOutcome::Replied);
    });
}

INSTANTIATE_TEST_SUITE_P(HostProbe, EchoSocket, ::testing::Bool(),
                         [](const auto &row) { return std::string(row.param ? "PingSocket" : "RawSocket"); });

#endif

} // namespace
} // namespace vex
