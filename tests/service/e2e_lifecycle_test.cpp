// The service's life end to end: nothing acknowledged is lost when it is
// killed in the middle of edits, a damaged state file stops it, callers
// other than the permitted users are turned away, the lease of a vanished
// lock holder lapses.
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "tests/service/e2e_fixture.h"

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace taskd::test {
namespace {

class Lifecycle : public Service {
  protected:
    void SetUp() override {}
};

TaskDefinition2 Record(const std::string &name, const std::string &text_a) {
    TaskDefinition2 t{};
    std::snprintf(t.task_name, sizeof t.task_name, "%s", name.c_str());
    std::snprintf(t.command_line, sizeof t.command_line, "prog");
    std::snprintf(t.text_a, sizeof t.text_a, "%s", text_a.c_str());
    t.position = -1;
    return t;
}

TEST_F(Lifecycle, KilledInTheMiddleOfEditsItLosesNothingAcknowledged) {
#if defined(_WIN32)
    constexpr int kEdits = 200;
#else
    constexpr int kEdits = 400;
#endif
    Start({"--log-level", "warning"});
    const std::string dir = svc_->state_dir();
    // What each acknowledged edit left: task name -> its text_a, absent when
    // removed. The edit in flight when the service dies may or may not count.
    std::map<std::string, std::string> acknowledged;
    std::string in_flight;
    std::atomic<int> done{0};
    const int kill_after = kEdits / 2 + static_cast<int>(OwnPid() % (kEdits / 4));
    std::thread killer([&] {
        while (done.load() < kill_after) std::this_thread::yield();
        svc_->Kill();
    });
    int i = 0;
    for (; i < kEdits; ++i) {
        Result r;
        const std::string name = "t" + std::to_string(i % 60);
        in_flight = name;
        if (acknowledged.count(name) == 0) {
            TaskDefinition2 t = Record(name, "v" + std::to_string(i));
            r.ok = VexSrv_AddTaskToList2(".", sfx(), &t, &r.value, &r.status, r.message, sizeof r.message);
            if (r.ok == 1) acknowledged[name] = t.text_a;
        } else if (i % 7 == 0) {
            TaskDefinition1 t{};
            std::snprintf(t.task_name, sizeof t.task_name, "%s", name.c_str());
            r.ok = VexSrv_RemoveTaskFromList(".", sfx(), &t, &r.value, &r.status, r.message, sizeof r.message);
            if (r.ok == 1) acknowledged.erase(name);
        } else {
            TaskDefinition2 t = Record(name, "v" + std::to_string(i));
            r.ok = VexSrv_UpdateTaskList2(".", sfx(), &t, &r.value, &r.status, r.message, sizeof r.message);
            if (r.ok == 1) acknowledged[name] = t.text_a;
        }
        if (r.ok != 1) {
            ASSERT_NE(r.status, 0) << "refused while running: " << r.text();
            break; // the service is gone
        }
        done.fetch_add(1);
    }
    killer.join();
    ASSERT_LT(i, kEdits) << "the service outlived every edit";

    // The file parses, and holds every acknowledged edit.
    const std::string text = ReadFile((std::filesystem::path(dir) / "taskd-state.json").string());
    nlohmann::json state;
    ASSERT_NO_THROW(state = nlohmann::json::parse(text)) << text;
    std::map<std::string, std::string> on_disk;
    for (const auto &task : state.at("tasks"))
        on_disk[task.at("task_name").get<std::string>()] = task.at("text_a").get<std::string>();
    for (const auto &[name, text_a] : acknowledged) {
        if (name == in_flight) continue;
        ASSERT_EQ(on_disk.count(name), 1u) << name;
        EXPECT_EQ(on_disk[name], text_a) << name;
    }
    for (const auto &[name, text_a] : on_disk) {
        if (name != in_flight) {
            EXPECT_EQ(acknowledged.count(name), 1u) << name << " was removed";
        }
    }

    // And the service starts again on it.
    Start({}, dir);
    Result r;
    CStringArray *list = nullptr;
    ASSERT_EQ(VexSrv_GetTaskList(0, ".", sfx(), &r.value, &r.status, 0, &list, r.message, sizeof r.message), 1);
    EXPECT_EQ(Items(list).size(), on_disk.size());
}

TEST_F(Lifecycle, DamagedStateFileStopsTheServiceWithAClearMessage) {
    const std::string dir = NewTempDir("damaged");
    const std::string file = (std::filesystem::path(dir) / "taskd-state.json").string();
    WriteFile(file, "{\"format\": 1, \"tasks\": [");
    TaskdProcess svc(BaseArgs(), dir);
    EXPECT_FALSE(svc.ready());
    EXPECT_EQ(svc.Stop(), -1); // it had ended by itself
    EXPECT_NE(svc.log().find("cannot start: the state file"), std::string::npos) << svc.log();
    EXPECT_NE(svc.log().find("is damaged"), std::string::npos) << svc.log();
    EXPECT_EQ(ReadFile(file), "{\"format\": 1, \"tasks\": [");
    std::filesystem::remove_all(dir);
}

// A suffix too long for a socket name whole (Linux maps it to a digest) and
// within what a Windows pipe name holds reaches the service, in any case.
TEST_F(Lifecycle, LongSuffixReachesTheServiceInAnyCase) {
    std::string suffix = "long" + std::to_string(OwnPid()) + "_";
    suffix.resize(232, 'x');
    svc_ = std::make_unique<TaskdProcess>(BaseArgs(), std::string{}, suffix);
    ASSERT_TRUE(svc_->ready()) << svc_->log();
    std::string upper = suffix;
    for (char &c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    Result r;
    r.ok = VexSrv_GetTidewellStatus(".", upper.c_str(), &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 1) << r.status << " " << r.text();
}

TEST_F(Lifecycle, LeaseOfAVanishedHolderLapses) {
    Start({"--lock-lease", "1"});
    Result r;
    std::int32_t token = 0;
    ASSERT_EQ(VexSrv_GetExclLock(".", sfx(), &token, &r.value, &r.status, r.message, sizeof r.message), 1);
    EXPECT_EQ(r.value, 1);
    r.ok = VexSrv_StartTidewell(0, ".", sfx(), &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.status, 33);
    // The holder never comes back: after the lease the lock is free.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        r.ok = VexSrv_StartTidewell(0, ".", sfx(), &r.value, &r.status, r.message, sizeof r.message);
    } while (r.ok != 1 && std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(r.ok, 1) << r.text();
    EXPECT_NE(svc_->log().find("lapsed: no request carried its token for 1 s"), std::string::npos) << svc_->log();
}

// Browse answers as the callback receives them.
std::vector<std::vector<std::string>> g_answers;
void VEXSRV_CDECL Collect(const char *first, const char *second, const char *third, int32_t) {
    g_answers.push_back({first, second, third});
}

TEST_F(Lifecycle, BrowseRequestsAreAnsweredWithNodeDisplayNameAndVersion) {
    Start({}, {}, true);
    // The node has one browse mailslot: wait for this service's turn.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (svc_->log().find("answering browse requests") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_NE(svc_->log().find("answering browse requests"), std::string::npos) << svc_->log();
    char message[256] = {};
    g_answers.clear();
    ASSERT_EQ(VexSrv_Broadcast("?", 2000, Collect, 0, message, sizeof message), 1) << message;
    bool found = false;
    for (const auto &item : g_answers)
        if (item[1] == "Kestrane Tidewell Task Service" + svc_->suffix()) {
            found = true;
            EXPECT_FALSE(item[0].empty());
            EXPECT_EQ(item[2], "1.0.0");
        }
    EXPECT_TRUE(found) << g_answers.size() << " answers; log: " << svc_->log();
}

#if !defined(_WIN32)
// A caller running as another user; the exit code carries what it saw.
int CallAsUser(uid_t uid, const std::string &suffix, std::string *message) {
    int pipefd[2];
    if (::pipe(pipefd) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipefd[0]);
        if (::setgid(uid) != 0 || ::setuid(uid) != 0) ::_exit(100);
        Result r;
        r.ok = VexSrv_StartTidewell(0, ".", suffix.c_str(), &r.value, &r.status, r.message, sizeof r.message);
        const ssize_t n = ::write(pipefd[1], r.message, std::strlen(r.message));
        (void)n;
        ::_exit(r.ok == 1 ? 0 : r.status);
    }
    ::close(pipefd[1]);
    char buf[600] = {};
    const ssize_t n = ::read(pipefd[0], buf, sizeof buf - 1);
    ::close(pipefd[0]);
    if (n > 0) *message = std::string(buf, static_cast<std::size_t>(n));
    int st = 0;
    ::waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST_F(Lifecycle, OnlyTheServicesUserRootAndAllowedUsersMayCall) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to call as another user";
    constexpr uid_t kStranger = 65534;
    constexpr uid_t kFriend = 65533;
    Start({"--allow-user", std::to_string(kFriend)});
    std::string message;
    EXPECT_EQ(CallAsUser(kStranger, svc_->suffix(), &message), 5);
    EXPECT_EQ(message, "Access is denied.");
    EXPECT_EQ(CallAsUser(kFriend, svc_->suffix(), &message), 0) << message;
    EXPECT_NE(svc_->log().find("from user "), std::string::npos);
}
#endif

} // namespace
} // namespace taskd::test
