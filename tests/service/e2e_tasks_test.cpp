// Task management end to end: editing in all five layouts, lists and
// startup order, tasks and processes as real children.
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "tests/service/e2e_fixture.h"

namespace taskd::test {
namespace {

template <class Record> Record Named(const std::string &name, const std::string &command) {
    Record t{};
    std::snprintf(t.task_name, sizeof t.task_name, "%s", name.c_str());
    std::snprintf(t.command_line, sizeof t.command_line, "%s", command.c_str());
    return t;
}

std::vector<std::string> TaskList(const char *suffix, std::int32_t by_startup_order) {
    Result r;
    CStringArray *list = nullptr;
    r.ok = VexSrv_GetTaskList(0, ".", suffix, &r.value, &r.status, by_startup_order, &list, r.message,
                              sizeof r.message);
    EXPECT_EQ(r.ok, 1) << r.text();
    return Items(list);
}

std::int32_t RunningCount(const char *suffix) {
    Result r;
    r.ok = VexSrv_CheckRunningList(".", suffix, &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 1);
    return r.value;
}

TEST_F(Service, TasksOfEveryLayoutAreAddedUpdatedAndRemoved) {
    Result r;
    auto t1 = Named<TaskDefinition1>("one", "prog1");
    EXPECT_EQ(VexSrv_AddTaskToList(".", sfx(), &t1, -1, &r.value, &r.status, r.message, sizeof r.message), 1)
        << r.text();
    auto t2 = Named<TaskDefinition2>("two", "prog2");
    t2.position = -1;
    EXPECT_EQ(VexSrv_AddTaskToList2(".", sfx(), &t2, &r.value, &r.status, r.message, sizeof r.message), 1);
    auto t3 = Named<TaskDefinition3>("three", "prog3");
    t3.position = -1;
    EXPECT_EQ(VexSrv_AddTaskToList3(".", sfx(), &t3, &r.value, &r.status, r.message, sizeof r.message), 1);
    auto t4 = Named<TaskDefinition4>("four", "prog4");
    t4.position = -1;
    t4.affinity = 3;
    EXPECT_EQ(VexSrv_AddTaskToList4(".", sfx(), &t4, &r.value, &r.status, r.message, sizeof r.message), 1);
    auto t5 = Named<TaskDefinition5>("five", "prog5");
    t5.position = -1;
    t5.priority = 1;
    EXPECT_EQ(VexSrv_AddTaskToList5(".", sfx(), &t5, &r.value, &r.status, r.message, sizeof r.message), 1);
    EXPECT_EQ(TaskList(sfx(), 0), (std::vector<std::string>{"one", "two", "three", "four", "five"}));

    r.ok = VexSrv_AddTaskToList5(".", sfx(), &t5, &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.status, 183);
    EXPECT_EQ(r.text(), "Task 'five' is already registered.");

    std::strcpy(t1.text_a, "/tmp");
    EXPECT_EQ(VexSrv_UpdateTaskList(".", sfx(), &t1, &r.value, &r.status, r.message, sizeof r.message), 1);
    EXPECT_EQ(VexSrv_UpdateTaskList2(".", sfx(), &t2, &r.value, &r.status, r.message, sizeof r.message), 1);
    EXPECT_EQ(VexSrv_UpdateTaskList3(".", sfx(), &t3, &r.value, &r.status, r.message, sizeof r.message), 1);
    EXPECT_EQ(VexSrv_UpdateTaskList4(".", sfx(), &t4, &r.value, &r.status, r.message, sizeof r.message), 1);
    EXPECT_EQ(VexSrv_UpdateTaskList5(".", sfx(), &t5, &r.value, &r.status, r.message, sizeof r.message), 1);
    auto ghost = Named<TaskDefinition3>("ghost", "");
    r.ok = VexSrv_UpdateTaskList3(".", sfx(), &ghost, &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.status, 1168);
    EXPECT_EQ(r.text(), "Task 'ghost' is not registered.");

    EXPECT_EQ(VexSrv_RemoveTaskFromList(".", sfx(), &t1, &r.value, &r.status, r.message, sizeof r.message), 1);
    EXPECT_EQ(r.value, 4);
    auto gone = Named<TaskDefinition1>("gone", "");
    r.ok = VexSrv_RemoveTaskFromList(".", sfx(), &gone, &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.status, 1168);
    EXPECT_EQ(TaskList(sfx(), 0), (std::vector<std::string>{"two", "three", "four", "five"}));
}

TEST_F(Service, StartupOrderAndBootStartAreKept) {
    Result r;
    for (const char *name : {"a", "b", "c"}) {
        auto t = Named<TaskDefinition2>(name, "prog");
        t.position = -1;
        ASSERT_EQ(VexSrv_AddTaskToList2(".", sfx(), &t, &r.value, &r.status, r.message, sizeof r.message), 1);
    }
    CStringArray order;
    order.Add("c");
    order.Add("");
    order.Add("a");
    r.ok = VexSrv_SetRegTaskListStartupOrders(".", sfx(), &r.value, &r.status, &order, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 1) << r.text();
    EXPECT_EQ(TaskList(sfx(), 1), (std::vector<std::string>{"c", "a", "b"}));
    EXPECT_EQ(TaskList(sfx(), 0), (std::vector<std::string>{"a", "b", "c"}));

    CStringArray unknown;
    unknown.Add("zzz");
    r.ok = VexSrv_SetRegTaskListStartupOrders(".", sfx(), &r.value, &r.status, &unknown, r.message,
                                              sizeof r.message);
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.text(), "Task 'zzz' is not registered.");

    r.ok = VexSrv_SetStartupAtBoot(".", sfx(), &r.value, &r.status, 1, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 1);
    // At the next start the database starts by itself.
    const std::string dir = svc_->state_dir();
    ASSERT_EQ(svc_->Stop(), 0);
    Start({}, dir);
    r.ok = VexSrv_GetTidewellStatus(".", sfx(), &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.value, 1) << svc_->log();
    EXPECT_EQ(TaskList(sfx(), 1), (std::vector<std::string>{"c", "a", "b"}));
    r.ok = VexSrv_SetStartupAtBoot(".", sfx(), &r.value, &r.status, 0, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 1);
}

TEST_F(Service, TasksRunAsChildrenAndStop) {
    Result r;
    auto t = Named<TaskDefinition2>("sleeper", ChildHelper() + " sleep 60");
    t.position = -1;
    ASSERT_EQ(VexSrv_AddTaskToList2(".", sfx(), &t, &r.value, &r.status, r.message, sizeof r.message), 1);

    r.ok = VexSrv_StartTaskByName(0, ".", sfx(), "sleeper", 0, &r.value, &r.status, r.message, sizeof r.message);
    ASSERT_EQ(r.ok, 1) << r.text();
    EXPECT_GT(r.value, 0);
    EXPECT_EQ(RunningCount(sfx()), 1);
    r.ok = VexSrv_StartTaskByName(0, ".", sfx(), "sleeper", 0, &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.status, 170);
    r.ok = VexSrv_StopTask(0, ".", sfx(), "sleeper", 0, &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 1) << r.text();
    EXPECT_EQ(RunningCount(sfx()), 0);

    r.ok = VexSrv_StartTaskByNameNoBlock(0, ".", sfx(), "sleeper", 0, &r.value, &r.status, r.message,
                                         sizeof r.message);
    EXPECT_EQ(r.ok, 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (RunningCount(sfx()) != 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(RunningCount(sfx()), 1);

    // A task from a record, not registered.
    auto record = Named<TaskDefinition1>("adhoc", ChildHelper() + " sleep 60");
    r.ok = VexSrv_StartTask(0, ".", sfx(), &record, &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 1) << r.text();
    EXPECT_EQ(RunningCount(sfx()), 2);
    r.ok = VexSrv_StopExternalTasks(0, ".", sfx(), &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.value, 1); // the record's task; the registered one stays
    EXPECT_EQ(RunningCount(sfx()), 1);

    r.ok = VexSrv_StartTaskByName(0, ".", sfx(), "ghost", 0, &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.text(), "Task 'ghost' is not registered.");
}

TEST_F(Service, ProcessesStartWithAffinityAndPriority) {
    Result r;
    auto plain = Named<TaskDefinition3>("", ChildHelper() + " sleep 60");
    r.ok = VexSrv_StartProcess(".", sfx(), &plain, &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 1) << r.text();
    auto pinned = Named<TaskDefinition4>("", ChildHelper() + " sleep 60");
    pinned.affinity = 1;
    r.ok = VexSrv_StartProcessWithAffinity(".", sfx(), &pinned, &r.value, &r.status, r.message, sizeof r.message);
    ASSERT_EQ(r.ok, 1) << r.text();
    const std::int32_t pinned_pid = r.value;
    auto low = Named<TaskDefinition5>("", ChildHelper() + " sleep 60");
    low.affinity = 1;
    low.priority = -1;
    r.ok = VexSrv_StartProcessWithAffinityPriority(".", sfx(), &low, &r.value, &r.status, r.message,
                                                   sizeof r.message);
    ASSERT_EQ(r.ok, 1) << r.text();
    EXPECT_EQ(RunningCount(sfx()), 3);
#if !defined(_WIN32)
    // Affinity 1 is processor 0 alone.
    std::ifstream status("/proc/" + std::to_string(pinned_pid) + "/status");
    std::string line, cpus;
    while (std::getline(status, line))
        if (line.rfind("Cpus_allowed_list:", 0) == 0) cpus = line.substr(line.find_first_not_of(" \t", 18));
    EXPECT_EQ(cpus, "0");
#else
    (void)pinned_pid;
#endif
    auto missing = Named<TaskDefinition3>("", "");
    r.ok = VexSrv_StartProcess(".", sfx(), &missing, &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.text(), "command_line should be defined");
    r.ok = VexSrv_StopExternalTasks(0, ".", sfx(), &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.value, 3);
    EXPECT_EQ(RunningCount(sfx()), 0);
}

TEST_F(Service, ShutdownStopsTheChildren) {
    Result r;
    auto t = Named<TaskDefinition2>("sleeper", ChildHelper() + " sleep 60");
    t.position = -1;
    ASSERT_EQ(VexSrv_AddTaskToList2(".", sfx(), &t, &r.value, &r.status, r.message, sizeof r.message), 1);
    ASSERT_EQ(VexSrv_StartTaskByName(0, ".", sfx(), "sleeper", 0, &r.value, &r.status, r.message, sizeof r.message),
              1);
    const auto child = static_cast<std::uint32_t>(r.value);
    auto other = Named<TaskDefinition3>("", ChildHelper() + " sleep 60");
    ASSERT_EQ(VexSrv_StartProcess(".", sfx(), &other, &r.value, &r.status, r.message, sizeof r.message), 1);
    const auto process = static_cast<std::uint32_t>(r.value);
    EXPECT_TRUE(ProcessAlive(child));
    EXPECT_EQ(svc_->Stop(), 0);
    EXPECT_FALSE(ProcessAlive(child)) << svc_->log();
    EXPECT_FALSE(ProcessAlive(process));
    EXPECT_NE(svc_->log().find("task 'sleeper' "), std::string::npos);
    svc_.reset();
}

TEST_F(Service, CallerTextsForgeNoLogLineAndTaskOutputStaysInItsOwnFile) {
    Result r;
    // A name and a command line that try to end the log line and forge one.
#if defined(_WIN32)
    // Children write to the service's own console there: they say nothing.
    const std::string task_says = " sleep 5", process_says = " sleep 5";
#else
    const std::string task_says = " say said-by-the-task", process_says = " say said-by-a-process";
#endif
    auto t = Named<TaskDefinition2>("a\nFORGED line", ChildHelper() + task_says + "\nFORGED too");
    t.position = -1;
    ASSERT_EQ(VexSrv_AddTaskToList2(".", sfx(), &t, &r.value, &r.status, r.message, sizeof r.message), 1) << r.text();
    ASSERT_EQ(VexSrv_StartTaskByName(0, ".", sfx(), t.task_name, 0, &r.value, &r.status, r.message, sizeof r.message),
              1)
        << r.text();
    auto p = Named<TaskDefinition3>("", ChildHelper() + process_says + "\rFORGED\x1b[2K");
    ASSERT_EQ(VexSrv_StartProcess(".", sfx(), &p, &r.value, &r.status, r.message, sizeof r.message), 1);
    const std::string dir = svc_->state_dir();
#if !defined(_WIN32)
    const std::string task_log = dir + "/logs/task-a%0AFORGED%20line.log";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((ReadFile(task_log).empty() || ReadFile(dir + "/logs/processes.log").empty()) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(ReadFile(task_log), "said-by-the-task\nsaid-by-the-task\n");
    EXPECT_NE(ReadFile(dir + "/logs/processes.log").find("said-by-a-process"), std::string::npos);
#endif
    EXPECT_EQ(svc_->Stop(), 0);
    const std::string log = svc_->log();
    EXPECT_EQ(log.find("\nFORGED"), std::string::npos) << log;
    EXPECT_EQ(log.find("\rFORGED"), std::string::npos) << log;
    EXPECT_EQ(log.find('\x1b'), std::string::npos) << log;
    EXPECT_NE(log.find("task 'a\\nFORGED line' runs as process"), std::string::npos) << log;
#if !defined(_WIN32)
    // The command lines appear in the log; the output itself does not.
    EXPECT_EQ(log.find("\nsaid-by-"), std::string::npos) << log;
    EXPECT_NE(log.find(process_says + "\\rFORGED\\x1B[2K"), std::string::npos) << log;
#endif
    svc_.reset();
}

} // namespace
} // namespace taskd::test
