// Children as process groups, taken over after a crash, their output files,
// and the group load that would drop a running task.
#include <chrono>
#include <thread>

#include "service/log.h"
#include "tests/service/core_fixture.h"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace taskd::test {
namespace {

template <class F> bool Eventually(F done, int seconds = 20) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

Bytes GroupRequest(std::uint32_t code, const std::string &name, std::int32_t option = 0) {
    Bytes b = Request(code);
    PutLE32(b, 16, static_cast<std::uint32_t>(option));
    PutStr(b, 24, name);
    return b;
}

class Children : public ServiceCore {
  protected:
    void Add(const std::string &name, const std::string &command) {
        const Answer a = Send(Layout2(30, name, command));
        ASSERT_EQ(a.status(), 0) << a.text();
    }
    std::string Path(const std::string &name) const { return (std::filesystem::path(dir_) / name).string(); }
};

TEST_F(Children, ReplaceModeGroupLoadRefusesToDropARunningTask) {
    Add("keeper", ChildHelper() + " sleep 30");
    Add("other", "prog");
    ASSERT_EQ(Send(GroupRequest(34, "both")).status(), 0);
    Send(Layout1(24, "other", ""));
    ASSERT_EQ(Send(GroupRequest(34, "keeper-only")).status(), 0);
    Add("other", "prog");
    Send(Layout1(24, "keeper", ""));
    ASSERT_EQ(Send(GroupRequest(34, "other-only")).status(), 0);
    Add("keeper", ChildHelper() + " sleep 30");
    const Answer started = Send(ByName(3, "keeper"));
    ASSERT_EQ(started.status(), 0) << started.text();

    // Refused with status and text of the removal of a running task.
    Answer a = Send(GroupRequest(35, "other-only", 0));
    const Answer removal = Send(Layout1(24, "keeper", ""));
    EXPECT_EQ(a.status(), 170);
    EXPECT_EQ(a.value(), 170);
    EXPECT_EQ(a.text(), removal.text());
    EXPECT_EQ(a.text(), "Task 'keeper' is running (process " + std::to_string(started.value()) +
                            "); stop it before removing it.");
    EXPECT_EQ(svc_->state().tasks.size(), 2u);
    EXPECT_EQ(Send(6).value(), 1);
    // A group that keeps it, and merging, are fine.
    EXPECT_EQ(Send(GroupRequest(35, "keeper-only", 0)).value(), 1);
    EXPECT_EQ(Send(GroupRequest(35, "both", 1)).value(), 2);
    EXPECT_EQ(Send(6).value(), 1);
}

TEST(Log, ControlCharactersAreEscapedSoOneEventStaysOneLine) {
    EXPECT_EQ(log::Escaped("a\nb\r\tc\x01\x7F\x1B[1m\xE9"), "a\\nb\\r\\tc\\x01\\x7F\\x1B[1m\xE9");
    EXPECT_EQ(log::Escaped("plain \\.\\pipe\\X"), "plain \\.\\pipe\\X");
}

#if !defined(_WIN32)
// Children share the service's console output on Windows.
TEST_F(Children, TaskOutputGoesToItsOwnLogFile) {
    Add("talk\n er", ChildHelper() + " say hello-from-the-task");
    ASSERT_EQ(Send(ByName(3, "talk\n er")).status(), 0);
    const std::string file = Path("logs/task-talk%0A%20er.log");
    ASSERT_TRUE(Eventually([&] { return ReadFile(file) == "hello-from-the-task\nhello-from-the-task\n"; }))
        << ReadFile(file);
    EXPECT_EQ(std::filesystem::status(Path("logs")).permissions() & std::filesystem::perms::others_all,
              std::filesystem::perms::none);
}

// The process id a spawned grandchild wrote, once it did.
int SpawnedPid(const std::string &file) {
    int pid = 0;
    Eventually([&] { return std::filesystem::exists(file); });
    pid = std::atoi(ReadFile(file).c_str());
    return pid;
}

TEST_F(Children, WhatATaskStartedEndsWithTheTaskTheDatabaseAndTheService) {
    // Stopped while it runs.
    Add("runner", ChildHelper() + " spawn " + Path("g1") + " 30");
    ASSERT_EQ(Send(ByName(3, "runner")).status(), 0);
    const int g1 = SpawnedPid(Path("g1"));
    ASSERT_GT(g1, 1);
    EXPECT_EQ(Send(StopTaskRequest("runner")).status(), 0);
    EXPECT_TRUE(Eventually([&] { return !ProcessAlive(static_cast<std::uint32_t>(g1)); }));

    // The task exits at once and leaves its child behind: the stop ends it.
    Add("leaver", ChildHelper() + " spawn " + Path("g2") + " 0");
    ASSERT_EQ(Send(ByName(3, "leaver")).status(), 0);
    const int g2 = SpawnedPid(Path("g2"));
    ASSERT_TRUE(Eventually([&] { return Send(6).value() == 0; })); // the task itself has ended
    EXPECT_TRUE(ProcessAlive(static_cast<std::uint32_t>(g2)));
    EXPECT_EQ(Send(StopTaskRequest("leaver")).text(), "Task 'leaver' is not running.");
    EXPECT_TRUE(Eventually([&] { return !ProcessAlive(static_cast<std::uint32_t>(g2)); }));

    // The database stop, and the service's own stop.
    std::filesystem::remove(Path("g2"));
    ASSERT_EQ(Send(1).status(), 0); // starts runner and leaver
    const int g3 = SpawnedPid(Path("g2"));
    ASSERT_TRUE(Eventually([&] { return Send(6).value() == 1; }));
    EXPECT_EQ(Send(4).status(), 0);
    EXPECT_TRUE(Eventually([&] { return !ProcessAlive(static_cast<std::uint32_t>(g3)); }));

    std::filesystem::remove(Path("g1"));
    ASSERT_EQ(Send(ByName(3, "runner")).status(), 0);
    const int g4 = SpawnedPid(Path("g1"));
    Close();
    EXPECT_TRUE(Eventually([&] { return !ProcessAlive(static_cast<std::uint32_t>(g4)); }));
    Open();
}

// A sleeper started here, in a process group of its own, as the service
// starts its children.
pid_t StartSleeper() {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        const std::string helper = (std::filesystem::path(ProgramDir()) / "taskd_test_child").string();
        ::execl(helper.c_str(), helper.c_str(), "sleep", "30", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::setpgid(pid, pid);
    return pid;
}

std::uint64_t StartTime(pid_t pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    std::size_t at = stat.rfind(')') + 2;
    for (int field = 3; field < 22; ++field) at = stat.find(' ', at) + 1;
    return std::stoull(stat.substr(at));
}

TEST_F(Children, ARestartTakesOverTheSameProcessAndNeverAStranger) {
    Add("survivor", ChildHelper() + " sleep 30");
    Close();
    const pid_t pid = StartSleeper();
    const pid_t stranger = StartSleeper();
    // The state a crashed service left: the survivor as it started, and a
    // recorded process whose id now names another process.
    PersistentState state;
    ASSERT_EQ(StateFromJson(ReadFile(Path("taskd-state.json")), &state), "");
    state.running = {{RunningEntry::Kind::Task, "survivor", false, static_cast<std::uint32_t>(pid), StartTime(pid)},
                     {RunningEntry::Kind::Process, "", false, static_cast<std::uint32_t>(stranger),
                      StartTime(stranger) + 1}};
    WriteFile(Path("taskd-state.json"), StateToJson(state));
    Open();

    EXPECT_EQ(Send(6).value(), 1);
    EXPECT_EQ(Send(36).value(), 1);
    Answer a = Send(ByName(3, "survivor"));
    EXPECT_EQ(a.status(), 170);
    EXPECT_EQ(a.text(), "Task 'survivor' is already running (process " + std::to_string(pid) + ").");
    EXPECT_EQ(Send(ByName(29, "survivor")).status(), 170);
    ASSERT_EQ(svc_->state().running.size(), 1u); // the stranger is not recorded again
    EXPECT_EQ(Send(15).value(), 0);              // nor stopped as an external process

    a = Send(StopTaskRequest("survivor"));
    EXPECT_EQ(a.status(), 0);
    EXPECT_EQ(a.text(), "Task 'survivor' stopped.");
    int st = 0;
    EXPECT_EQ(::waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(st));
    EXPECT_EQ(Send(6).value(), 0);
    EXPECT_TRUE(svc_->state().running.empty());
    EXPECT_TRUE(ProcessAlive(static_cast<std::uint32_t>(stranger)));
    ::kill(stranger, SIGKILL);
    ::waitpid(stranger, &st, 0);
}
#endif

} // namespace
} // namespace taskd::test
