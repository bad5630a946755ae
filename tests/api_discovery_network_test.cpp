// VexSrv_Broadcast over the network (Linux): the browse request leaves as a
// UDP datagram naming its mailslot, and only well-formed answers for this
// call's reply mailslot that come back to its socket reach the callback.
// Runs in a network namespace of its own with one veth pair, whose broadcast
// this namespace hears itself; nothing leaves the machine.
#include <gtest/gtest.h>

#if !defined(_WIN32)

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/local_host.h"
#include "tests/support/netns.h"
#include "tests/support/wire.h"
#include "vexsrvapi.h"

namespace vex::test {
namespace {

constexpr std::uint16_t kPort = 17471;

struct Delivered {
    std::string first, second, third;
};
std::vector<Delivered> g_delivered;

void VEXSRV_CDECL Collect(const char *first, const char *second, const char *third, int32_t) {
    g_delivered.push_back({first, second, third});
}

Bytes Datagram(const std::string &path, const Bytes &message) { return vex::test::MailslotDatagram(path, message); }

Bytes Answer(std::uint32_t first, std::uint32_t second, std::uint32_t third, const std::string &tail) {
    Bytes b(24 + tail.size(), 0);
    const std::uint32_t offsets[] = {first, second, third};
    for (int f = 0; f < 3; ++f)
        for (int i = 0; i < 4; ++i)
            b[12 + 4 * f + i] = static_cast<std::uint8_t>(offsets[f] >> (24 - 8 * i));
    std::copy(tail.begin(), tail.end(), b.begin() + 24);
    return b;
}

// Sets an environment variable for one scope.
class ScopedEnv {
  public:
    ScopedEnv(const char *name, const std::string &value) : name_(name) {
        if (const char *old = std::getenv(name)) old_ = old, had_ = true;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() { had_ ? (void)::setenv(name_, old_.c_str(), 1) : (void)::unsetenv(name_); }

  private:
    const char *name_;
    std::string old_;
    bool had_ = false;
};

TEST(NetworkBroadcast, RequestLeavesByUdpAndOnlyWellFormedAnswersForThisCallReachTheCallback) {
    g_delivered.clear();
    Bytes request;
    std::int32_t result = -1;
    char msg[256] = {};
    const std::string why = RunInPrivateNetwork([&] {
        if (std::system("ip link add vxb0 type veth peer name vxb1 && ip addr add 198.18.77.1/24 brd + dev vxb0 && "
                        "ip link set vxb1 up && ip link set vxb0 up") != 0)
            return;
        const ScopedEnv port("VEXSRV_BROWSE_PORT", std::to_string(kPort));
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(kPort);
        ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr *>(&any), sizeof any), 0);

        const std::string mine = "Tidewell\\BrowseR\\" + Hex(CurrentProcessId());
        std::thread responder([&] {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 10000) != 1) return;
            std::uint8_t buf[2048];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t got = ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
            if (got <= 0) return;
            request.assign(buf, buf + got);
            auto send = [&](const Bytes &d) {
                ::sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr *>(&from), sizeof from);
            };
            const Bytes good = Answer(24, 30, 32, std::string("HOSTB\0S\0v1\0", 11));
            Bytes long_lengths = Datagram(mine, good);
            long_lengths[7] += 1; // says one byte more than it carries
            send({'T', 'W', 'M'});                                             // short
            send(Bytes(1200, 'x'));                                            // long
            send(long_lengths);                                                // lengths disagree
            send(Datagram(mine, Answer(300, 30, 32, std::string("A\0B\0C\0", 6)))); // offset past the end
            send(Datagram("Tidewell\\BrowseR\\ffffffff", good));               // another call's mailslot
            send(Datagram("Tidewell/BrowseR/" + Hex(CurrentProcessId()), good)); // other spelling
            send(Datagram(mine, Answer(24, 26, 28, std::string("a\0b\0", 4) + std::string(150, 'c') + '\0'))); // > 128
            send(Datagram(mine, good));
        });
        result = VexSrv_Broadcast(nullptr, 1500, Collect, 0, msg, sizeof msg);
        responder.join();
        ::close(fd);
    });
    if (!why.empty()) GTEST_SKIP() << "no private network here: " << why;
    if (request.empty() && result == -1) GTEST_SKIP() << "no veth pair here (ip link add ... type veth)";

    EXPECT_EQ(result, 1) << msg;
    // The request as the browse mailslot gets it, in a datagram naming it.
    const std::string name = LocalComputerName();
    const std::string reply_path = "\\\\" + name + "\\mailslot\\Tidewell\\BrowseR\\" + Hex(CurrentProcessId());
    Bytes browse(28 + name.size() + 1 + reply_path.size() + 1, 0);
    const std::uint32_t words[] = {static_cast<std::uint32_t>(browse.size()), 1, 1, 28,
                                   static_cast<std::uint32_t>(28 + name.size() + 1)};
    for (int w = 0; w < 5; ++w)
        for (int i = 0; i < 4; ++i)
            browse[4 * w + i] = static_cast<std::uint8_t>(words[w] >> (24 - 8 * i));
    std::copy(name.begin(), name.end(), browse.begin() + 28);
    std::copy(reply_path.begin(), reply_path.end(), browse.begin() + 28 + name.size() + 1);
    EXPECT_BYTES_EQ(Datagram("Tidewell\\Browse", browse), request);

    ASSERT_EQ(g_delivered.size(), 1u);
    EXPECT_EQ(g_delivered[0].first, "HOSTB");
    EXPECT_EQ(g_delivered[0].second, "S");
    EXPECT_EQ(g_delivered[0].third, "v1");
}

TEST(NetworkBroadcast, WithTheNetworkOffAnotherNodeIsNotLookedUp) {
    const ScopedEnv port("VEXSRV_BROWSE_PORT", "0");
    char msg[256] = {};
    g_delivered.clear();
    EXPECT_EQ(VexSrv_Broadcast("no-such-node", 0, Collect, 0, msg, sizeof msg), 0);
    EXPECT_NE(std::string(msg).find("Cannot open mailslot ('\\\\no-such-node\\mailslot\\Tidewell\\Browse') as client"),
              std::string::npos)
        << msg;
}

} // namespace
} // namespace vex::test

#endif
