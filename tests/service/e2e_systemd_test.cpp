// The service under a supervisor like systemd: readiness, reload and stop
// notices reach the socket named by NOTIFY_SOCKET (a datagram socket of the
// test's own: PID 1 need not be systemd), SIGHUP reads the configuration
// file again and the service lives on, a configuration file that does not
// read stops the start.
#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "tests/service/e2e_fixture.h"

namespace taskd::test {
namespace {

// A datagram socket bound to a path in a folder of its own.
class NotifySocket {
  public:
    NotifySocket() : dir_(NewTempDir("notify")) {
        path_ = dir_ + "/notify";
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
        bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    }
    ~NotifySocket() {
        if (fd_ >= 0) ::close(fd_);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    bool bound() const { return bound_; }
    const std::string &path() const { return path_; }
    // The next datagram, or "" after timeout.
    std::string Next(int timeout_ms = 10000) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) != 1) return {};
        char buf[4096];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
    }

  private:
    std::string dir_, path_;
    int fd_ = -1;
    bool bound_ = false;
};

class Supervised : public Service {
  protected:
    void SetUp() override { ASSERT_TRUE(notify_.bound()); }
    // Starts the service with NOTIFY_SOCKET naming the test's socket.
    void StartNotifying(std::vector<std::string> extra) {
        ::setenv("NOTIFY_SOCKET", notify_.path().c_str(), 1);
        Start(std::move(extra));
        ::unsetenv("NOTIFY_SOCKET");
    }
    std::string Pipe() const { return std::string("ZEPTAR_") + sfx() + "_TSK_REQ"; }
    std::array<std::uint32_t, 2> Permissions() {
        Result r;
        std::uint32_t first = 0, second = 0;
        r.ok = VexSrv_GetDBPermis(".", sfx(), 0, &first, &second, &r.value, &r.status, r.message, sizeof r.message);
        EXPECT_EQ(r.ok, 1) << r.text();
        return {first, second};
    }
    std::string VersionText() {
        std::int32_t status = -1, a = 0, b = 0, c = 0;
        char text[64] = {}, message[64] = {};
        VexSrv_GetDBVersion(".", sfx(), &status, &a, &b, &c, text, sizeof text, message, sizeof message);
        return text;
    }

    NotifySocket notify_;
};

TEST_F(Supervised, ReadyOnceThePipeListensThenStoppingOnStop) {
    StartNotifying({});
    // The service answered before the fixture went on; its notice names it.
    EXPECT_EQ(notify_.Next(), "READY=1\nMAINPID=" + std::to_string(svc_->pid()) + "\nSTATUS=serving pipe " + Pipe());
    EXPECT_EQ(svc_->Stop(), 0) << svc_->log();
    EXPECT_EQ(notify_.Next(), "STOPPING=1\nSTATUS=stopping");
    svc_.reset();
}

TEST_F(Supervised, SighupReadsTheFileAgainTheCommandLineStillWinsAndABadFileChangesNothing) {
    const std::string dir = NewTempDir("config");
    const std::string file = dir + "/taskd.conf";
    WriteFile(file, "permissions = [0x10, 0x20]\ndb-version-text = \"from the file\"\nlog-level = \"warning\"\n");
    StartNotifying({"--config", file, "--db-version-text", "from the command line"});
    ASSERT_EQ(notify_.Next().rfind("READY=1\n", 0), 0u);
    EXPECT_EQ(Permissions(), (std::array<std::uint32_t, 2>{0x10, 0x20}));
    EXPECT_EQ(VersionText(), "from the command line");

    WriteFile(file, "permissions = [0x31, 0x42]\ndb-version-text = \"changed file\"\nworkers = 3\n");
    ASSERT_EQ(::kill(static_cast<pid_t>(svc_->pid()), SIGHUP), 0);
    EXPECT_EQ(notify_.Next(), "RELOADING=1\nSTATUS=reading the configuration again");
    EXPECT_EQ(notify_.Next(), "READY=1\nSTATUS=configuration reloaded");
    EXPECT_EQ(Permissions(), (std::array<std::uint32_t, 2>{0x31, 0x42}));
    EXPECT_EQ(VersionText(), "from the command line");
    EXPECT_NE(svc_->log().find("reload: workers changed; it takes effect at the next start"), std::string::npos)
        << svc_->log();

    WriteFile(file, "permissions = [0x55, 0x66]\npermisions = [1, 2]\n");
    ASSERT_EQ(::kill(static_cast<pid_t>(svc_->pid()), SIGHUP), 0);
    EXPECT_EQ(notify_.Next(), "RELOADING=1\nSTATUS=reading the configuration again");
    EXPECT_EQ(notify_.Next().rfind("READY=1\nSTATUS=configuration not reloaded: ", 0), 0u);
    EXPECT_EQ(Permissions(), (std::array<std::uint32_t, 2>{0x31, 0x42}));
    EXPECT_NE(svc_->log().find("error reload: the configuration does not read, nothing changed"), std::string::npos)
        << svc_->log();
    EXPECT_TRUE(svc_->running());
    std::filesystem::remove_all(dir);
}

// Runs the service to its end; its exit code, and its stderr in *err.
int RunToEnd(const std::vector<std::string> &args, std::string *err) {
    const std::string dir = NewTempDir("config-start");
    const std::string log = dir + "/stderr";
    std::vector<std::string> all = {ProgramDir() + "/tidewell-taskd"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    *err = ReadFile(log);
    std::filesystem::remove_all(dir);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SupervisedStart, AConfigurationFileThatDoesNotReadIsABadCommandLine) {
    const std::string dir = NewTempDir("config-bad");
    std::string err;
    EXPECT_EQ(RunToEnd({"--config", dir + "/absent.conf", "--state-dir", dir}, &err), 2);
    EXPECT_NE(err.find("absent.conf"), std::string::npos) << err;

    WriteFile(dir + "/typo.conf", "wokers = 4\n");
    EXPECT_EQ(RunToEnd({"--config", dir + "/typo.conf", "--state-dir", dir}, &err), 2);
    EXPECT_NE(err.find("wokers"), std::string::npos) << err;

    WriteFile(dir + "/range.conf", "workers = 65\n");
    EXPECT_EQ(RunToEnd({"--config", dir + "/range.conf", "--state-dir", dir}, &err), 2);
    EXPECT_NE(err.find("workers"), std::string::npos) << err;
    std::filesystem::remove_all(dir);
}

TEST_F(Supervised, TheShippedExampleReadsWithEveryKeyInForce) {
    // Every "# key = value" line of the example, taken in; the user it
    // names is one this node surely has.
    const std::string dir = NewTempDir("example");
    std::istringstream example(ReadFile(TASKD_EXAMPLE_CONFIG));
    std::string config;
    int keys = 0;
    for (std::string line; std::getline(example, line);) {
        if (line.rfind("# ", 0) != 0 || line.find(" = ") == std::string::npos) continue;
        if (line.rfind("# allow-user", 0) == 0) line = "# allow-user = [\"root\"]";
        if (line.rfind("# log-file", 0) == 0) line = "# log-file = \"" + dir + "/taskd.log\"";
        config += line.substr(2) + "\n";
        ++keys;
    }
    EXPECT_EQ(keys, 16);
    WriteFile(dir + "/instance.conf", config);
    StartNotifying({"--config", dir + "/instance.conf"});
    EXPECT_EQ(Permissions(), (std::array<std::uint32_t, 2>{0xFFFFFFFF, 0xFFFFFFFF}));
    EXPECT_EQ(VersionText(), "Tidewell 1.0.0");
    EXPECT_NE(ReadFile(dir + "/taskd.log").find("info ready: serving"), std::string::npos);
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace taskd::test
#endif
