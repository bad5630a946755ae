// Registered tasks, startup orders, lists, and tasks and processes as real
// children, through the request core.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/service/core_fixture.h"

namespace taskd::test {
namespace {

// Polls a condition, bounded, for what a child does on its own time.
template <class F> bool Eventually(F done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

std::string Sleeper() { return ChildHelper() + " sleep 30"; }

class Tasks : public ServiceCore {
  protected:
    void Add(const std::string &name, const std::string &command = "prog") {
        const Answer a = Send(Layout2(30, name, command));
        ASSERT_EQ(a.status(), 0) << a.text();
    }
    Answer TaskList(std::uint32_t code = 13) { return Send(code); }
};

TEST_F(Tasks, AddedTasksKeepListOrderAndNamesAreUnique) {
    Add("alpha");
    Add("beta");
    Answer a = Send(Layout2(30, "alpha", "other"));
    EXPECT_EQ(a.status(), 183);
    EXPECT_EQ(a.text(), "Task 'alpha' is already registered.");
    // Layout 1: the position rides in the code word's high half.
    a = Send(Layout1(0x00000008, "first", "prog"));
    EXPECT_EQ(a.status(), 0);
    EXPECT_EQ(a.value(), 0);
    EXPECT_EQ(Send(Layout1(0xFFFF0008, "last", "prog")).value(), 3);
    a = Send(Layout2(30, "far", "prog", 9));
    EXPECT_EQ(a.status(), 87);
    EXPECT_EQ(a.text(), "Position 9 is outside the task list (0 to 4, or -1 for the end).");
    const std::vector<Item> expected = {{1, "first"}, {2, "alpha"}, {3, "beta"}, {4, "last"}};
    EXPECT_EQ(ListItems(TaskList()), expected);
}

TEST_F(Tasks, AddNeedsNameAndCommandLine) {
    Answer a = Send(Layout2(30, "", "prog"));
    EXPECT_EQ(a.status(), 87);
    EXPECT_EQ(a.text(), "task name should be defined");
    a = Send(Layout2(30, "x", ""));
    EXPECT_EQ(a.text(), "command_line should be defined");
    EXPECT_EQ(ListItems(TaskList()).size(), 0u);
}

TEST_F(Tasks, UpdateReplacesSentFieldsAndRefusesUnknownTasks) {
    Add("alpha");
    Answer a = Send(Layout2(31, "ghost", ""));
    EXPECT_EQ(a.status(), 1168);
    EXPECT_EQ(a.text(), "Task 'ghost' is not registered.");
    EXPECT_EQ(Send(Layout2(31, "alpha", "", -1, "/work")).status(), 0);
    EXPECT_EQ(svc_->state().tasks[0].Text(Field::TextA), "/work");
    EXPECT_EQ(svc_->state().tasks[0].Text(Field::CommandLine), "prog"); // not sent, kept
    EXPECT_EQ(Send(Layout2(31, "alpha", "", -1, "")).status(), 0);  // text_a always sent
    EXPECT_EQ(svc_->state().tasks[0].Text(Field::TextA), "");
}

TEST_F(Tasks, RemoveByNameRefusesUnknownTasks) {
    Add("alpha");
    Add("beta");
    Answer a = Send(Layout1(24, "ghost", ""));
    EXPECT_EQ(a.status(), 1168);
    a = Send(Layout1(24, "alpha", ""));
    EXPECT_EQ(a.status(), 0);
    EXPECT_EQ(a.value(), 1);
    const std::vector<Item> expected = {{1, "beta"}};
    EXPECT_EQ(ListItems(TaskList()), expected);
}

TEST_F(Tasks, FieldWithoutTerminatorIsRefusedAndNothingRegistered) {
    Bytes b = Layout2(30, "x", "prog");
    for (std::size_t i = 16; i < 48; ++i) b[i] = 'n'; // task_name fills its 32 bytes
    const Answer a = Send(b);
    EXPECT_EQ(a.status(), 13);
    EXPECT_EQ(a.text(), "The request's task_name is not terminated within its 32 bytes.");
    EXPECT_TRUE(svc_->state().tasks.empty());
}

// Startup-order payload from offset 24: count, then order, size, name, zero.
Bytes StartupOrders(const std::vector<std::pair<std::uint8_t, std::string>> &entries) {
    Bytes b = Request(32);
    PutLE32(b, 24, static_cast<std::uint32_t>(entries.size()));
    std::size_t at = 28;
    for (const auto &[order, name] : entries) {
        b.at(at) = order;
        b.at(at + 1) = static_cast<std::uint8_t>(name.size() + 1);
        PutStr(b, at + 2, name);
        at += 3 + name.size();
    }
    return b;
}

TEST_F(Tasks, StartupOrdersRankTheListAndUnknownNamesChangeNothing) {
    Add("a");
    Add("b");
    Add("c");
    EXPECT_EQ(Send(StartupOrders({{1, "c"}, {2, "a"}})).status(), 0);
    // Items stay in list order; the order byte is the startup rank (b, not
    // ordered, comes last).
    const std::vector<Item> expected = {{2, "a"}, {3, "b"}, {1, "c"}};
    EXPECT_EQ(ListItems(TaskList(12)), expected);
    EXPECT_EQ(ListItems(TaskList(13)), expected);

    Answer a = Send(StartupOrders({{1, "b"}, {2, "zzz"}}));
    EXPECT_EQ(a.status(), 1168);
    EXPECT_EQ(a.value(), 1168);
    EXPECT_EQ(a.text(), "Task 'zzz' is not registered.");
    EXPECT_EQ(ListItems(TaskList(12)), expected);

    Bytes damaged = StartupOrders({{1, "a"}});
    PutLE32(damaged, 24, 3); // promises more entries than it holds
    damaged.at(32) = 9;
    a = Send(damaged);
    EXPECT_EQ(a.status(), 13);
}

TEST_F(Tasks, SubsystemListComesFromTheConfiguration) {
    const std::vector<Item> expected = {{1, "ALARMS"}, {2, "HISTORY"}};
    EXPECT_EQ(ListItems(Send(16)), expected);
}

TEST_F(Tasks, BootFlagAndTasksSurviveARestart) {
    Add("alpha");
    Bytes boot = Request(33);
    PutLE32(boot, 12, 1);
    EXPECT_EQ(Send(boot).status(), 0);
    Reopen();
    EXPECT_TRUE(svc_->state().boot_start);
    ASSERT_EQ(svc_->state().tasks.size(), 1u);
    EXPECT_EQ(svc_->state().tasks[0].name(), "alpha");
    PutLE32(boot, 12, 2); // anything but 1 turns it off
    Send(boot);
    Reopen();
    EXPECT_FALSE(svc_->state().boot_start);
}

TEST_F(Tasks, AChangeThatCannotBeSavedIsRefusedAndNotMade) {
    fail_saves_ = true;
    const Answer a = Send(Layout2(30, "alpha", "prog"));
    EXPECT_EQ(a.status(), 29);
    EXPECT_EQ(a.text(), "The service could not save its state; nothing was changed. the disk is full");
    EXPECT_TRUE(svc_->state().tasks.empty());
    fail_saves_ = false;
}

// Edits that arrive while a write is held open by the test: they are applied
// at once and wait, together, for the next write.
class Batches : public Tasks {
  protected:
    void SetUp() override {
        Tasks::SetUp();
        before_save_ = [this] {
            std::unique_lock<std::mutex> lock(hold_mu_);
            ++entered_;
            hold_cv_.notify_all();
            hold_cv_.wait(lock, [this] { return !hold_; });
        };
    }
    void TearDown() override {
        Release();
        Join();
        Tasks::TearDown();
    }
    void Hold() {
        std::lock_guard<std::mutex> lock(hold_mu_);
        hold_ = true;
        entered_ = 0;
    }
    void Release() {
        std::lock_guard<std::mutex> lock(hold_mu_);
        hold_ = false;
        hold_cv_.notify_all();
    }
    bool AwaitHeldWrite() {
        std::unique_lock<std::mutex> lock(hold_mu_);
        return hold_cv_.wait_for(lock, std::chrono::seconds(20), [this] { return entered_ > 0; });
    }
    void AddLater(const std::string &name, Answer *out) {
        clients_.emplace_back([this, name, out] { *out = Send(Layout2(30, name, "prog")); });
    }
    void Join() {
        for (auto &t : clients_) t.join();
        clients_.clear();
    }
    std::size_t Applied() {
        std::lock_guard<std::mutex> lock(svc_->mutex());
        return svc_->state().tasks.size();
    }
    // beta's write held open; gamma and delta applied behind it.
    void HoldABatch(Answer *beta, Answer *gamma, Answer *delta, int *saves_before) {
        Add("alpha");
        Hold();
        AddLater("beta", beta);
        ASSERT_TRUE(AwaitHeldWrite());
        *saves_before = saves_;
        AddLater("gamma", gamma);
        AddLater("delta", delta);
        ASSERT_TRUE(Eventually([&] { return Applied() == 4; }));
        // A read-only request does not wait for the write.
        EXPECT_EQ(ListItems(TaskList()).size(), 4u);
    }

    std::mutex hold_mu_;
    std::condition_variable hold_cv_;
    bool hold_ = false;
    int entered_ = 0;
    std::vector<std::thread> clients_;
};

TEST_F(Batches, EditsAppliedDuringAWriteShareTheNextOne) {
    Answer beta, gamma, delta;
    int before = 0;
    HoldABatch(&beta, &gamma, &delta, &before);
    Release();
    Join();
    for (const Answer *a : {&beta, &gamma, &delta}) EXPECT_EQ(a->status(), 0) << a->text();
    EXPECT_EQ(saves_ - before, 1) << "gamma and delta should share one write";
    Reopen();
    EXPECT_EQ(svc_->state().tasks.size(), 4u);
}

TEST_F(Batches, AFailedWriteRefusesEveryEditOfItsBatchAndKeepsNoneOfThem) {
    Answer beta, gamma, delta;
    int before = 0;
    HoldABatch(&beta, &gamma, &delta, &before);
    fail_saves_ = true;
    Release();
    Join();
    // gamma and delta were made on top of beta: refused with it, without a
    // write of their own.
    for (const Answer *a : {&beta, &gamma, &delta}) {
        EXPECT_EQ(a->status(), 29);
        EXPECT_EQ(a->text(), "The service could not save its state; nothing was changed. the disk is full");
    }
    EXPECT_EQ(saves_ - before, 0);
    EXPECT_EQ(ListItems(TaskList()), (std::vector<Item>{{1, "alpha"}}));
    fail_saves_ = false;
    Add("gamma");
    Reopen();
    ASSERT_EQ(svc_->state().tasks.size(), 2u);
    EXPECT_EQ(svc_->state().tasks[1].name(), "gamma");
}

TEST_F(Tasks, TaskListStaysWithinOneReply) {
    // 255 tasks arrive at once through a group configuration.
    std::string group = "{\"format\": 1, \"tasks\": [";
    for (int i = 0; i < 255; ++i)
        group += std::string(i ? "," : "") + "{\"task_name\": \"task" + std::to_string(i) + "\", \"command_line\": \"p\"}";
    std::filesystem::create_directories(std::filesystem::path(dir_) / "groups");
    WriteFile((std::filesystem::path(dir_) / "groups" / "full").string(), group + "]}");
    Bytes load = Request(35);
    PutStr(load, 24, "full");
    ASSERT_EQ(Send(load).value(), 255);
    const Answer a = Send(Layout2(30, "one-more", "prog"));
    EXPECT_EQ(a.status(), 122);
    EXPECT_EQ(a.text(), "The task list is full: it holds at most 255 tasks.");
    EXPECT_EQ(ListItems(TaskList()).size(), 255u);
}

TEST_F(Tasks, TaskStartsByNameStopsAndLeavesTheRunningList) {
    Add("sleeper", Sleeper());
    Answer a = Send(ByName(3, "sleeper"));
    ASSERT_EQ(a.status(), 0) << a.text();
    EXPECT_GT(a.value(), 0); // the process id
    EXPECT_EQ(Send(36).value(), 1);
    EXPECT_EQ(Send(6).value(), 1);
    a = Send(ByName(3, "sleeper"));
    EXPECT_EQ(a.status(), 170);
    a = Send(Layout1(24, "sleeper", ""));
    EXPECT_EQ(a.status(), 170); // running tasks are not removed

    a = Send(StopTaskRequest("sleeper"));
    EXPECT_EQ(a.status(), 0);
    EXPECT_EQ(Send(36).value(), 0);
    EXPECT_EQ(Send(StopTaskRequest("sleeper")).text(), "Task 'sleeper' is not running.");
    EXPECT_EQ(Send(StopTaskRequest("ghost")).status(), 1168);
    EXPECT_EQ(Send(ByName(3, "ghost")).status(), 1168);
}

TEST_F(Tasks, NonBlockingStartRunsAfterTheReply) {
    Add("sleeper", Sleeper());
    const Answer a = Send(ByName(29, "sleeper"));
    EXPECT_EQ(a.status(), 0);
    EXPECT_EQ(a.text(), "Task 'sleeper' is being started.");
    EXPECT_TRUE(Eventually([&] { return Send(36).value() == 1; }));
}

TEST_F(Tasks, StubbornTaskIsKilledAfterTheGrace) {
    const std::string deaf = (std::filesystem::path(dir_) / "deaf").string();
    Add("stubborn", ChildHelper() + " stubborn \"" + deaf + "\" 60");
    ASSERT_EQ(Send(ByName(3, "stubborn")).status(), 0);
    ASSERT_TRUE(Eventually([&] { return std::filesystem::exists(deaf); }));
    const Answer a = Send(StopTaskRequest("stubborn", 1));
    EXPECT_EQ(a.status(), 0);
    EXPECT_EQ(a.text(), "Task 'stubborn' did not end within 1000 ms and was killed.");
    EXPECT_EQ(Send(36).value(), 0);
}

TEST_F(Tasks, ProgramThatCannotStartIsReported) {
    Add("broken", "/no/such/program --flag");
    const Answer a = Send(ByName(3, "broken"));
    EXPECT_NE(a.status(), 0);
    EXPECT_EQ(a.value(), a.status());
    EXPECT_NE(a.text().find("Task 'broken'"), std::string::npos) << a.text();
}

TEST_F(Tasks, DatabaseStartsRegisteredTasksAndStopsThem) {
    Add("one", Sleeper());
    Add("two", Sleeper());
    const Answer a = Send(1);
    EXPECT_EQ(a.text(), "The database is running; 2 task(s) started.");
    EXPECT_EQ(Send(6).value(), 2);
    EXPECT_EQ(Send(4).text(), "The database is stopped; 2 task(s) stopped.");
    EXPECT_EQ(Send(36).value(), 0);
}

// A start-process request (41): command line at 112, text_a at 1136, text_e
// at 2544; presence bits 0x1, 0x100, 0x20, 0x10.
Bytes StartProcessRequest(const std::string &command, const std::string &dir, const std::string &args) {
    Bytes b = Request(41);
    PutStr(b, 112, command);
    PutStr(b, 1136, dir);
    PutStr(b, 2544, args);
    PutLE32(b, 12, 0x131);
    return b;
}

TEST_F(Tasks, ProcessRunsInTheFolderOfTextAWithTheArgumentsOfTextE) {
    const std::string work = NewTempDir("work");
    const std::string record = (std::filesystem::path(dir_) / "record.txt").string();
    const Answer a = Send(StartProcessRequest(ChildHelper() + " record \"" + record + "\"", work, "one two"));
    ASSERT_EQ(a.status(), 0) << a.text();
    ASSERT_TRUE(Eventually([&] { return std::filesystem::exists(record); }));
    const std::string text = ReadFile(record);
    EXPECT_EQ(text, std::filesystem::path(work).string() + "\none\ntwo\n");
    EXPECT_EQ(Send(36).value(), 1);
    const Answer stopped = Send(15);
    EXPECT_EQ(stopped.value(), 1);
    EXPECT_EQ(Send(36).value(), 0);
    std::filesystem::remove_all(work);
}

TEST_F(Tasks, UnknownPriorityIsRefused) {
    Bytes b = Request(47);
    PutStr(b, 112, Sleeper());
    PutLE32(b, 3616, 0);
    PutLE32(b, 3620, 0x100); // the real-time class
    PutLE32(b, 12, 0x60101);
    const Answer a = Send(b);
    EXPECT_EQ(a.status(), 87);
    EXPECT_EQ(Send(36).value(), 0);
}

TEST_F(Tasks, DatabaseProgramRunsWhileTheDatabaseIsStarted) {
    Close();
    config_.database_command = Sleeper();
    Open();
    ASSERT_EQ(Send(1).status(), 0);
    Send(4);
    EXPECT_EQ(Send(19).value(), 0);

    // A database program that ends by itself leaves the database failed.
    Close();
    config_.database_command = ChildHelper() + " exit 3";
    Open();
    ASSERT_EQ(Send(1).value(), 1);
    EXPECT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> lock(svc_->mutex());
        svc_->Housekeeping(TaskService::Clock::now());
        return svc_->database_state() == DatabaseState::Failed;
    }));
    const Answer a = Send(19);
    EXPECT_EQ(a.value(), 2);
    EXPECT_EQ(a.text(), "The database is stopped: its program exited on its own.");
    EXPECT_EQ(Send(1).value(), 1); // it starts again

    Close();
    config_.database_command = "/no/such/database";
    Open();
    EXPECT_NE(Send(1).status(), 0);
    EXPECT_EQ(svc_->database_state(), DatabaseState::Stopped);
}

} // namespace
} // namespace taskd::test
