// Discovery and one command over many nodes, on a bed of three network hosts
// (tests/support/testbed.h), each running its own tidewell-taskd listening on
// the network over TLS. Linux, as root; skipped with the reason where the bed
// cannot be made.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
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
        if (std::system((std::string(MAKE_CERTS_PATH) + " " + dir_ + "/fleet --node node1=198.18.0.1 --node " +
                         "node2=198.18.0.2 --node node3=198.18.0.3 >/dev/null 2>&1")
                            .c_str()) != 0) {
            why_ = "scripts/make-certs.sh failed (is the openssl command installed?)";
            return;
        }
        ::setenv("VEXSRV_TLS_DIR", Identity(1).c_str(), 1);
        for (int i = 1; i <= kHosts; ++i) StartService(i);
        for (int i = 1; i <= kHosts; ++i)
            if (!WaitForLog(i, "answering browse requests from other nodes")) {
                why_ = "the service of " + TestBed::Name(i) + " did not start:\n" + ReadFile(LogOf(i));
                return;
            }
        started_ = true;
    }
    static void TearDownTestSuite() {
        for (int i = 1; i <= kHosts; ++i) StopService(i);
        delete bed_;
        bed_ = nullptr;
        if (!dir_.empty()) std::system(("rm -rf " + dir_).c_str());
    }
    void SetUp() override {
        if (!bed_->ok()) GTEST_SKIP() << "no test bed: " << bed_->why();
        if (!started_) GTEST_SKIP() << "no services on the bed: " << why_;
    }

    static std::string LogOf(int i) { return dir_ + "/" + TestBed::Name(i) + ".log"; }

    static std::string Identity(int i) { return dir_ + "/fleet/nodes/" + TestBed::Name(i); }

    // Listening on the network, which turns browse answers by UDP on.
    static void StartService(int i) {
        const std::string state = dir_ + "/" + TestBed::Name(i);
        const std::string id = Identity(i);
        pids_[i] = bed_->Spawn(i,
                               {TASKD_PATH, "--state-dir", state, "--log-level", "info", "--listen",
                                TestBed::Address(i), "--tls-cert", id + "/cert.pem", "--tls-key", id + "/key.pem",
                                "--tls-client-ca", id + "/ca.pem"},
                               {}, LogOf(i));
    }
    static void StopService(int i) {
        if (pids_[i] <= 0) return;
        ::kill(pids_[i], SIGTERM);
        int status = 0;
        ::waitpid(pids_[i], &status, 0);
        pids_[i] = -1;
    }

    // The tool on host 1 with node1's identity: its exit code, stdout in *out
    // and stderr in *err.
    static int Tool(const std::string &args, std::string *out, std::string *err = nullptr) {
        const std::string o = dir_ + "/tool.out", e = dir_ + "/tool.err";
        const int rc = bed_->Shell(1, "HOME=/nonexistent VEXSRV_TLS_DIR=" + Identity(1) + " " + VEXSRV_TOOL_PATH + " " +
                                          args + " >" + o + " 2>" + e);
        *out = ReadFile(o);
        if (err != nullptr) *err = ReadFile(e);
        return rc;
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

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

// The text of a --json line's member, "" when absent (enough for the fixed
// members the tool writes).
std::string Member(const std::string &line, const std::string &name) {
    const std::string key = "\"" + name + "\":";
    const std::size_t at = line.find(key);
    if (at == std::string::npos) return "";
    std::size_t from = at + key.size(), to = from;
    if (line[from] == '"') to = line.find('"', ++from);
    else to = line.find_first_of(",}", from);
    return line.substr(from, to - from);
}

TEST_F(Fleet, AllRunsOnEveryNodeThatAnswersWithARowEach) {
    std::string out, err;
    EXPECT_EQ(Tool("--all --wait 1000 --json db status", &out, &err), 0) << out << err;
    const auto rows = Lines(out);
    ASSERT_EQ(rows.size(), 3u) << out << err;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Member(rows[static_cast<std::size_t>(i)], "node"), ComputerNameOf(i + 1));
        EXPECT_EQ(Member(rows[static_cast<std::size_t>(i)], "ok"), "true") << rows[static_cast<std::size_t>(i)];
        EXPECT_EQ(Member(rows[static_cast<std::size_t>(i)], "operation"), "db status");
    }
    EXPECT_EQ(err, "");
}

TEST_F(Fleet, AHostThatDropsEveryPacketTimesOutAloneAndTheOthersSucceed) {
    // node3's address leads to a link address nobody has: every packet is lost.
    ASSERT_EQ(bed_->Shell(1, "ip neigh replace " + TestBed::Address(3) + " lladdr 02:00:5e:00:00:99 dev eth0 nud permanent"),
              0);
    std::string out, err;
    // The version request has no echo probe before it: only the time-out ends the wait.
    const int rc = Tool("--nodes node1,node2,node3 --timeout 2 --json db version", &out, &err);
    bed_->Shell(1, "ip neigh del " + TestBed::Address(3) + " dev eth0");
    EXPECT_EQ(rc, 4) << out << err;
    const auto rows = Lines(out);
    ASSERT_EQ(rows.size(), 3u) << out << err;
    EXPECT_EQ(Member(rows[0], "ok"), "true") << rows[0];
    EXPECT_EQ(Member(rows[1], "ok"), "true") << rows[1];
    EXPECT_EQ(Member(rows[2], "node"), "node3");
    EXPECT_EQ(Member(rows[2], "source"), "timeout") << rows[2];
    EXPECT_EQ(err, "1 of 3 nodes failed\n");
}

// Last, since it stops a service (and starts it again).
TEST_F(Fleet, OneServiceStoppedFailsItsRowWithTwoAndTheExitCodeSaysSo) {
    StopService(3);
    std::string out, err;
    const int rc = Tool("--nodes node1,node2,node3 db status", &out, &err);
    StartService(3);
    EXPECT_EQ(rc, 3) << out << err;
    const auto rows = Lines(out);
    ASSERT_EQ(rows.size(), 4u) << out; // the header and three rows
    EXPECT_EQ(rows[0].rfind("NODE", 0), 0u);
    EXPECT_EQ(rows[1].rfind("node1  ok", 0), 0u) << rows[1];
    EXPECT_EQ(rows[2].rfind("node2  ok", 0), 0u) << rows[2];
    EXPECT_EQ(rows[3].rfind("node3  unreachable  2 ", 0), 0u) << rows[3];
    EXPECT_EQ(err, "1 of 3 nodes failed\n");
}

} // namespace
} // namespace vex::test
