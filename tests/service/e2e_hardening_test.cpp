// The service against hostile local peers and signals (Linux): silent and
// refused connections, a long stop, signals, descriptor exhaustion and a
// squatter on its pipe name.
#if !defined(_WIN32)

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/service/e2e_fixture.h"
#include "tests/service/hostile_peers.h"
#include "tests/support/wire.h"

namespace taskd::test {
namespace {

using namespace std::chrono_literals;

int CountLines(const std::string &text, const std::string &needle) {
    int n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

bool Answers(const std::string &suffix) {
    Result r;
    r.ok = VexSrv_GetTidewellStatus(".", suffix.c_str(), &r.value, &r.status, r.message, sizeof r.message);
    return r.ok == 1 && r.status == 0;
}

class Hardening : public Service {
  protected:
    void SetUp() override {
        // Long enough that a caller made to wait behind silent connections
        // would outlast the test's own checks.
        Start({"--request-timeout", "60"});
    }
    // Stops the service (cleanly, or the test fails) and returns its log.
    std::string StopAndTakeLog() {
        EXPECT_EQ(svc_->Stop(), 0);
        std::string log = svc_->log();
        svc_.reset();
        return log;
    }
};

TEST_F(Hardening, PermittedCallerAnsweredWhileStrangersAndSilentCallersHoldConnections) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a refused user";
    StrangerConnections strangers(svc_->suffix(), 300);
    ASSERT_TRUE(strangers.ok());
    SilentConnections silent(svc_->suffix(), 64);
    ASSERT_EQ(silent.size(), 64);

    // The stranger's own call was refused at once, with the refusal's record.
    EXPECT_EQ(strangers.report().connected, 300);
    EXPECT_EQ(strangers.report().ok, 0);
    EXPECT_EQ(strangers.report().status, 5);
    EXPECT_STREQ(strangers.report().message, "Access is denied.");

    // Answered while every silent connection of a permitted caller is still
    // held (they have 60 s to send): nothing waited for them.
    EXPECT_TRUE(Answers(svc_->suffix()));
    EXPECT_EQ(silent.StillOpenCount(), 64);

    // 301 refusals: a burst of lines, then one count at the latest when the
    // service stops.
    const std::string log = StopAndTakeLog();
    const int lines = CountLines(log, "refused a connection from user");
    EXPECT_GE(lines, 1);
    EXPECT_LE(lines, 5) << log;
    EXPECT_NE(log.find("messages suppressed"), std::string::npos) << log;
}

TEST_F(Hardening, ConnectionsBeyondTheCapOfAUserAreTurnedAwayBusy) {
    Start({"--request-timeout", "60", "--max-connections-per-user", "8"});
    // The readiness call's connection is released just after its reply.
    std::this_thread::sleep_for(100ms);
    SilentConnections silent(svc_->suffix(), 8);
    ASSERT_EQ(silent.size(), 8);
    // Connected is not yet taken: the service's threads take callers side by
    // side, so a call made at once may be counted before the last of them.
    std::this_thread::sleep_for(200ms);
    Result r;
    r.ok = VexSrv_GetTidewellStatus(".", sfx(), &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.status, 231);
    EXPECT_EQ(r.text(), "All pipe instances are busy.");
    EXPECT_EQ(silent.StillOpenCount(), 8);
}

TEST_F(Hardening, LateAndSlowRequestsAreAnsweredAndGiveTheirPlacesInTheCapsBack) {
    Start({"--request-timeout", "60", "--max-connections-per-user", "2"});
    std::this_thread::sleep_for(100ms);
    // A request sent well after the connect, so that whoever took the caller
    // has long stopped waiting for it: answered all the same.
    for (int i = 0; i < 3; ++i) {
        const int fd = ConnectSilently(svc_->suffix());
        ASSERT_GE(fd, 0);
        std::this_thread::sleep_for(30ms);
        const vex::test::Bytes request = vex::test::Request(19);
        ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
        vex::test::Bytes reply(8024);
        pollfd ready{fd, POLLIN, 0};
        ASSERT_EQ(::poll(&ready, 1, 10000), 1);
        ASSERT_EQ(::recv(fd, reply.data(), reply.size(), 0), 536);
        EXPECT_EQ(vex::test::LE32(reply, 12), 0u); // status
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(reply.data()) + 24), "The database is stopped.");
        ::close(fd);
    }
    // Requests that are carried out by a worker, one after another.
    Result r;
    for (int i = 0; i < 3; ++i) {
        std::int32_t token = -1;
        ASSERT_EQ(VexSrv_GetExclLock(".", sfx(), &token, &r.value, &r.status, r.message, sizeof r.message), 1)
            << r.text();
        ASSERT_EQ(VexSrv_GiveExclLock(token, ".", sfx(), &r.value, &r.status, r.message, sizeof r.message), 1)
            << r.text();
    }
    // Every place was given back: the cap of two still lets two be held, and
    // only two.
    EXPECT_TRUE(Answers(svc_->suffix()));
    std::this_thread::sleep_for(100ms);
    SilentConnections held(svc_->suffix(), 2);
    ASSERT_EQ(held.size(), 2);
    std::this_thread::sleep_for(200ms); // taken and counted by the service
    r.ok = VexSrv_GetTidewellStatus(".", sfx(), &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.status, 231);
    // Past the linger of a connection turned away: both held ones were let in.
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(held.StillOpenCount(), 2);
}

TEST_F(Hardening, SilentConnectionDroppedAfterTheRequestTimeoutAndAtShutdown) {
    Start({"--request-timeout", "0.3"});
    SilentConnections early(svc_->suffix(), 2);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(early.StillOpenCount(), 0);
    EXPECT_NE(svc_->log().find("no whole request within 0.3 s"), std::string::npos) << svc_->log();

    Start({"--request-timeout", "600"});
    SilentConnections late(svc_->suffix(), 16);
    const auto before = std::chrono::steady_clock::now();
    StopAndTakeLog();
    // Dropped, not waited for: far inside the 600 s they were given.
    EXPECT_LT(std::chrono::steady_clock::now() - before, 30s);
}

TEST_F(Hardening, LongStopHoldsOnlyItsTaskAndALaterStartOfItWaitsForIt) {
    const std::string dir = NewTempDir("deaf");
    const std::string deaf = dir + "/deaf";
    Result r;
    TaskDefinition5 task = Task5("DEAF", ChildHelper() + " stubborn " + deaf + " 120");
    ASSERT_EQ(VexSrv_AddTaskToList5(".", sfx(), &task, &r.value, &r.status, r.message, sizeof r.message), 1)
        << r.text();
    ASSERT_EQ(VexSrv_StartTaskByName(0, ".", sfx(), "DEAF", 0, &r.value, &r.status, r.message, sizeof r.message), 1)
        << r.text();
    const auto pid = static_cast<pid_t>(r.value);
    for (int i = 0; i < 500 && !std::filesystem::exists(deaf); ++i) std::this_thread::sleep_for(10ms);

    std::atomic<bool> stopped{false};
    Result stop;
    std::thread stopper([&] {
        stop.ok = VexSrv_StopTask(0, ".", sfx(), "DEAF", 600, &stop.value, &stop.status, stop.message,
                                  sizeof stop.message);
        stopped = true;
    });
    for (int i = 0; i < 500 && svc_->log().find("'DEAF' is stopping") == std::string::npos; ++i)
        std::this_thread::sleep_for(10ms);
    // Status, lists, version, lock and another task's requests, all while the
    // stop waits out its grace. The lock is taken and given back before the
    // start below is sent: held, it would refuse that start.
    EXPECT_TRUE(Answers(svc_->suffix()));
    CStringArray *list = nullptr;
    EXPECT_EQ(VexSrv_GetTaskList(0, ".", sfx(), &r.value, &r.status, 0, &list, r.message, sizeof r.message), 1);
    EXPECT_EQ(Items(list), std::vector<std::string>{"DEAF"});
    std::int32_t token = -1;
    ASSERT_EQ(VexSrv_GetExclLock(".", sfx(), &token, &r.value, &r.status, r.message, sizeof r.message), 1);
    EXPECT_EQ(VexSrv_GiveExclLock(token, ".", sfx(), &r.value, &r.status, r.message, sizeof r.message), 1);
    std::atomic<bool> restarted{false};
    Result start;
    std::thread starter([&] {
        start.ok = VexSrv_StartTaskByName(0, ".", sfx(), "DEAF", 0, &start.value, &start.status, start.message,
                                          sizeof start.message);
        restarted = true;
    });
    TaskDefinition5 other = Task5("OTHER", ChildHelper() + " sleep 30");
    EXPECT_EQ(VexSrv_AddTaskToList5(".", sfx(), &other, &r.value, &r.status, r.message, sizeof r.message), 1);
    EXPECT_EQ(VexSrv_StartTaskByName(0, ".", sfx(), "OTHER", 0, &r.value, &r.status, r.message, sizeof r.message), 1);
    EXPECT_EQ(VexSrv_StopTask(0, ".", sfx(), "OTHER", 5, &r.value, &r.status, r.message, sizeof r.message), 1);
    EXPECT_FALSE(stopped.load());
    // The start of the task being stopped waits for the stop, not refused as
    // "already running".
    EXPECT_FALSE(restarted.load());

    ::kill(-pid, SIGKILL); // ends the stop's wait early
    stopper.join();
    starter.join();
    EXPECT_EQ(stop.ok, 1) << stop.text();
    EXPECT_EQ(start.ok, 1) << start.text();
    EXPECT_NE(start.value, static_cast<std::int32_t>(pid));
    EXPECT_EQ(VexSrv_StopTask(0, ".", sfx(), "DEAF", 1, &r.value, &r.status, r.message, sizeof r.message), 1);
    std::filesystem::remove_all(dir);
}

TEST_F(Hardening, SignalsThatWouldEndTheServiceDoNot) {
    const std::string dir = NewTempDir("logfile");
    const std::string log = dir + "/taskd.log";
    Start({"--log-file", log});
    const auto pid = static_cast<pid_t>(svc_->pid());
    for (const int sig : {SIGPIPE, SIGUSR1, SIGUSR2, SIGTSTP, SIGTTIN, SIGTTOU}) {
        ASSERT_EQ(::kill(pid, sig), 0);
        std::this_thread::sleep_for(50ms);
        EXPECT_TRUE(Answers(svc_->suffix())) << "after signal " << sig;
    }
    // SIGHUP: the log file, moved away as a rotation does, is opened anew.
    std::filesystem::rename(log, log + ".1");
    ASSERT_EQ(::kill(pid, SIGHUP), 0);
    for (int i = 0; i < 300 && !std::filesystem::exists(log); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(Answers(svc_->suffix()));
    EXPECT_NE(ReadFile(log).find("reload requested (SIGHUP): log file " + log + " opened anew"), std::string::npos);
    EXPECT_NE(ReadFile(log + ".1").find("ready: serving"), std::string::npos);
    StopAndTakeLog();
    std::filesystem::remove_all(dir);
}

TEST_F(Hardening, LogWritesToAStreamWithoutReaderDoNotEndTheService) {
    // The log goes to a FIFO whose only reader then goes away.
    const std::string dir = NewTempDir("fifo");
    const std::string fifo = dir + "/log";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    Start({"--log-file", fifo});
    ::close(reader);
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(Answers(svc_->suffix())); // each logs a line
    EXPECT_TRUE(svc_->running());
    StopAndTakeLog();
    std::filesystem::remove_all(dir);
}

TEST_F(Hardening, AcceptRecoversWhenDescriptorsRunOut) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to lower another process's descriptor limit";
    const auto pid = static_cast<pid_t>(svc_->pid());
    int open_now = 0;
    for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        ++open_now;
    rlimit old{};
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, nullptr, &old), 0);
    rlimit low = old;
    low.rlim_cur = static_cast<rlim_t>(open_now + 2);
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &low, nullptr), 0);
    {
        SilentConnections flood(svc_->suffix(), 20);
        std::this_thread::sleep_for(500ms);
    }
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &old, nullptr), 0);
    // Back after the back-off; the serving thread did not end.
    bool answered = false;
    for (int i = 0; i < 50 && !answered; ++i) {
        answered = Answers(svc_->suffix());
        if (!answered) std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(answered);
    EXPECT_NE(svc_->log().find("failed: Too many open files"), std::string::npos) << svc_->log();
    EXPECT_LE(CountLines(svc_->log(), "failed: Too many open files"), 3);
}

TEST_F(Hardening, ServiceRefusesToStartOnATakenNameAndNamesTheHolder) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a squatter as another user";
    const std::string suffix = svc_->suffix() + "sq";
    // A squatter as the stranger user binds the name first.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t squatter = ::fork();
    if (squatter == 0) {
        if (::setresuid(kStrangerUid, kStrangerUid, kStrangerUid) != 0) ::_exit(3);
        std::string name = "tidewell/pipe/zeptar_" + suffix + "_tsk_req";
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path + 1, name.data(), name.size());
        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        if (::bind(fd, reinterpret_cast<const sockaddr *>(&addr),
                   static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())) != 0 ||
            ::listen(fd, 4) != 0)
            ::_exit(4);
        [[maybe_unused]] const ssize_t w = ::write(ready[1], "r", 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);

    const std::string dir = NewTempDir("squat");
    const std::string out = dir + "/out";
    const pid_t taskd = ::fork();
    if (taskd == 0) {
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 2);
        const std::string program = ProgramDir() + "/tidewell-taskd";
        const std::string state = dir + "/state";
        ::execl(program.c_str(), program.c_str(), "--suffix", suffix.c_str(), "--state-dir", state.c_str(),
                "--no-browse", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    int st = 0;
    ASSERT_EQ(::waitpid(taskd, &st, 0), taskd);
    ::kill(squatter, SIGKILL);
    ::waitpid(squatter, nullptr, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1);
    const std::string text = ReadFile(out);
    EXPECT_NE(text.find("another service already serves the pipe \\\\.\\pipe\\ZEPTAR_" + suffix +
                        "_TSK_REQ: process " + std::to_string(squatter) + " of user nobody (65534)"),
              std::string::npos)
        << text;
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace taskd::test

#endif
