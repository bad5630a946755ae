// Discovery and one command over many nodes, on a bed of three network hosts
// (tests/support/testbed.h), each running its own tidewell-taskd. Linux, as
// root; skipped with the reason where the bed cannot be made.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/testbed.h"
#include "vexsrv/vexsrv.h"

namespace vex::test {
namespace {

using namespace std::chrono_literals;

constexpr int kHosts = 3;
constexpr std::uint32_t kWaitMs = 1500;
const char *const kPort = "7471";

std::string BesideThisProgram(const std::string &name) {
    char self[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, n > 0 ? static_cast<std::size_t>(n) : 0);
    return path.substr(0, path.rfind('/') + 1) + name;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string ComputerNameOf(int host) {
    std::string name = TestBed::Name(host);
    for (char &c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

// The bed and a service in each host, shared by the tests of this program.
class Fleet : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // The suites run with the network's mailslots off; here they carry
        // the bed's own traffic, which never leaves it.
        ::setenv("VEXSRV_BROWSE_PORT", kPort, 1);
        bed_ = new TestBed(kHosts);
        if (!bed_->ok()) return;
        char dir[] = "/tmp/vexsrv-fleet-XXXXXX";
        if (::mkdtemp(dir) == nullptr) return;
        dir_ = dir;
        for (int i = 1; i <= kHosts; ++i) StartService(i);
        for (int i = 1; i <= kHosts; ++i)
            if (!WaitForLog(i, "answering browse requests from other nodes")) {
                why_ = "the service of " + TestBed::Name(i) + " did not start:\n" + ReadFile(LogOf(i));
                return;
            }
        started_ = true;
    }
    static void TearDownTestSuite() {
        delete bed_;
        bed_ = nullptr;
        if (!dir_.empty()) std::system(("rm -rf " + dir_).c_str());
    }
    void SetUp() override {
        if (!bed_->ok()) GTEST_SKIP() << "no test bed: " << bed_->why();
        if (!started_) GTEST_SKIP() << "no services on the bed: " << why_;
    }

    static std::string LogOf(int i) { return dir_ + "/" + TestBed::Name(i) + ".log"; }

    static void StartService(int i) {
        const std::string state = dir_ + "/" + TestBed::Name(i);
        pids_[i] = bed_->Spawn(i, {BesideThisProgram("tidewell-taskd"), "--state-dir", state, "--browse-udp",
                                   "--log-level", "info"},
                               {}, LogOf(i));
    }

    static bool WaitForLog(int i, const std::string &text) {
        for (int tries = 0; tries < 200; ++tries) {
            if (ReadFile(LogOf(i)).find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    // A broadcast from host 1.
    static vexsrv::Result<std::vector<vexsrv::BrowseAnswer>> BroadcastFrom(int host,
                                                                          std::optional<std::string> target) {
        vexsrv::Result<std::vector<vexsrv::BrowseAnswer>> r;
        const std::string why = bed_->RunIn(host, [&] { r = vexsrv::Broadcast(target, kWaitMs); });
        EXPECT_EQ(why, "");
        return r;
    }

    static inline TestBed *bed_ = nullptr;
    static inline std::string dir_;
    static inline std::string why_;
    static inline bool started_ = false;
    static inline pid_t pids_[kHosts + 1] = {};
};

std::vector<std::string> Firsts(const std::vector<vexsrv::BrowseAnswer> &answers) {
    std::vector<std::string> names;
    for (const auto &a : answers) names.push_back(a.first);
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(Fleet, DiscoveryFromOneHostListsEveryServiceOnceWithItsNodeName) {
    const auto r = BroadcastFrom(1, std::nullopt);
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_EQ(Firsts(r.data), (std::vector<std::string>{ComputerNameOf(1), ComputerNameOf(2), ComputerNameOf(3)}));
    for (const auto &a : r.data) {
        EXPECT_EQ(a.second, "Kestrane Tidewell Task Service") << a.first;
        EXPECT_FALSE(a.third.empty()) << a.first;
    }
}

TEST_F(Fleet, ANodeNamedAloneIsAskedAlone) {
    const auto r = BroadcastFrom(1, TestBed::Name(3));
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_EQ(Firsts(r.data), (std::vector<std::string>{ComputerNameOf(3)}));
}

TEST_F(Fleet, HostileDatagramsToAServiceGetNoAnswerAndLeaveItAnswering) {
    std::vector<std::vector<std::uint8_t>> hostile = {
        {},
        {'T', 'W', 'M', 'S'},
        std::vector<std::uint8_t>(1400, 0xFF),
        // Well framed for the browse mailslot, but its request's offsets
        // point past the end.
        {'T', 'W', 'M', 'S', 1, 15, 0, 28, 'T', 'i', 'd', 'e', 'w', 'e', 'l', 'l', '\\', 'B', 'r', 'o', 'w', 's', 'e',
         0, 0, 0, 28, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 200, 0, 0, 0, 220, 0, 0, 0, 0, 0, 0, 0, 0},
    };
    std::size_t answers = 0;
    const std::string why = bed_->RunIn(1, [&] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(std::atoi(kPort)));
        ::inet_pton(AF_INET, TestBed::Address(2).c_str(), &to.sin_addr);
        for (const auto &d : hostile)
            ::sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
        timeval tv{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::uint8_t buf[2048];
        while (::recv(fd, buf, sizeof buf, 0) >= 0) ++answers;
        ::close(fd);
    });
    ASSERT_EQ(why, "");
    EXPECT_EQ(answers, 0u);
    EXPECT_EQ(::kill(pids_[2], 0), 0) << "the service of node2 ended";
    const auto r = BroadcastFrom(1, TestBed::Name(2));
    EXPECT_EQ(Firsts(r.data), (std::vector<std::string>{ComputerNameOf(2)}));
}

} // namespace
} // namespace vex::test
