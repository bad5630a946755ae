// Registered tasks, their startup order and the processes the service runs.
#include <algorithm>
#include <set>

#include "service/log.h"
#include "service/os.h"
#include "service/task_service.h"
#include "util/packed_list.h"

namespace taskd {
namespace {

std::string Quoted(const std::string &name) { return "'" + name + "'"; }

} // namespace

TaskRecord *TaskService::FindTask(const std::string &name) {
    for (TaskRecord &t : state_.tasks)
        if (t.name() == name) return &t;
    return nullptr;
}

std::vector<const TaskRecord *> TaskService::TasksInStartupOrder() const {
    std::vector<const TaskRecord *> out;
    for (const TaskRecord &t : state_.tasks) out.push_back(&t);
    std::stable_sort(out.begin(), out.end(), [](const TaskRecord *a, const TaskRecord *b) {
        const int ka = a->startup_order == 0 ? 256 : a->startup_order;
        const int kb = b->startup_order == 0 ? 256 : b->startup_order;
        return ka < kb;
    });
    return out;
}

std::string TaskService::ListRoomFor(const std::vector<TaskRecord> &tasks) const {
    // The list must always travel whole in one reply, each task with its own
    // startup rank.
    std::string long_name;
    switch (CheckTaskListLimits(tasks, &long_name)) {
    case ListLimit::Fits: return {};
    case ListLimit::TooManyTasks:
        return "The task list is full: it holds at most " + std::to_string(vex::util::kPackedMaxOrders) + " tasks.";
    case ListLimit::NameTooLong: return "Task name " + Quoted(long_name) + " is too long.";
    case ListLimit::TooLongForAReply: return "The task list is full: its names would no longer fit a reply.";
    }
    return {};
}

Outcome TaskService::AddTask(TaskRecord task, std::int32_t position) {
    if (task.name().empty()) return Outcome::Refuse(status::kInvalidParameter, "task name should be defined");
    Gate gate(*this, task.name());
    if (task.Text(Field::CommandLine).empty())
        return Outcome::Refuse(status::kInvalidParameter, "command_line should be defined");
    if (FindTask(task.name()) != nullptr)
        return Outcome::Refuse(status::kAlreadyExists, "Task " + Quoted(task.name()) + " is already registered.");
    const auto count = static_cast<std::int32_t>(state_.tasks.size());
    if (position != -1 && (position < 0 || position > count))
        return Outcome::Refuse(status::kInvalidParameter, "Position " + std::to_string(position) +
                                                              " is outside the task list (0 to " +
                                                              std::to_string(count) + ", or -1 for the end).");
    PersistentState next = state_;
    const std::size_t at = position == -1 ? next.tasks.size() : static_cast<std::size_t>(position);
    task.startup_order = 0;
    next.tasks.insert(next.tasks.begin() + static_cast<std::ptrdiff_t>(at), std::move(task));
    if (std::string why = ListRoomFor(next.tasks); !why.empty()) return Outcome::Refuse(status::kListFull, why);
    return Commit(std::move(next), Outcome::Ok(static_cast<std::int32_t>(at)));
}

Outcome TaskService::UpdateTask(const TaskRecord &changes, std::uint32_t bits) {
    if (changes.name().empty()) return Outcome::Refuse(status::kInvalidParameter, "task name should be defined");
    Gate gate(*this, changes.name());
    PersistentState next = state_;
    TaskRecord *task = nullptr;
    for (TaskRecord &t : next.tasks)
        if (t.name() == changes.name()) task = &t;
    if (task == nullptr)
        return Outcome::Refuse(status::kNotFound, "Task " + Quoted(changes.name()) + " is not registered.");
    for (std::size_t i = 0; i < std::size(vex::tasks::kFieldInfo); ++i) {
        const auto f = static_cast<Field>(i);
        // The name identifies the task; the suffix addresses the service; an
        // update does not move a task in the list.
        if (f == Field::TaskName || f == Field::ServiceSuffix || f == Field::Position) continue;
        if ((bits & vex::tasks::kFieldInfo[i].bit) == 0) continue;
        if (TaskRecord::IsText(f))
            task->Text(f) = changes.Text(f);
        else
            task->Number(f) = changes.Number(f);
    }
    if (task->Text(Field::CommandLine).empty())
        return Outcome::Refuse(status::kInvalidParameter, "command_line should be defined");
    task->layout = std::max(task->layout, changes.layout);
    return Commit(std::move(next), Outcome::Ok(0));
}

Outcome TaskService::RemoveTask(const std::string &name) {
    if (name.empty()) return Outcome::Refuse(status::kInvalidParameter, "task name should be defined");
    Gate gate(*this, name);
    if (FindTask(name) == nullptr)
        return Outcome::Refuse(status::kNotFound, "Task " + Quoted(name) + " is not registered.");
    ReapChildren();
    if (const auto run = tasks_running_.find(name); run != tasks_running_.end())
        return Outcome::Refuse(status::kBusy, "Task " + Quoted(name) + " is running (process " +
                                                  std::to_string(run->second.child->pid()) +
                                                  "); stop it before removing it.");
    PersistentState next = state_;
    next.tasks.erase(std::remove_if(next.tasks.begin(), next.tasks.end(),
                                    [&](const TaskRecord &t) { return t.name() == name; }),
                     next.tasks.end());
    const auto left = static_cast<std::int32_t>(next.tasks.size());
    return Commit(std::move(next), Outcome::Ok(left));
}

Outcome TaskService::SetStartupOrders(const std::vector<std::pair<std::uint8_t, std::string>> &orders) {
    PersistentState next = state_;
    for (TaskRecord &t : next.tasks) t.startup_order = 0;
    std::set<std::string> seen;
    for (const auto &[order, name] : orders) {
        if (order == 0)
            return Outcome::Refuse(status::kInvalidParameter,
                                   "Task " + Quoted(name) + " has order number 0; order numbers start at 1.");
        if (!seen.insert(name).second)
            return Outcome::Refuse(status::kInvalidParameter, "Task " + Quoted(name) + " is named twice.");
        TaskRecord *task = nullptr;
        for (TaskRecord &t : next.tasks)
            if (t.name() == name) task = &t;
        if (task == nullptr) return Outcome::Refuse(status::kNotFound, "Task " + Quoted(name) + " is not registered.");
        task->startup_order = order;
    }
    return Commit(std::move(next), Outcome::Ok(0));
}

Outcome TaskService::SetBootStart(bool on) {
    PersistentState next = state_;
    next.boot_start = on;
    return Commit(std::move(next), Outcome::Ok(0));
}

std::vector<std::pair<std::uint8_t, std::string>> TaskService::TaskListForReply() const {
    const auto ordered = TasksInStartupOrder();
    std::vector<std::pair<std::uint8_t, std::string>> out;
    for (const TaskRecord &t : state_.tasks) {
        const auto rank = std::find(ordered.begin(), ordered.end(), &t) - ordered.begin() + 1;
        out.emplace_back(static_cast<std::uint8_t>(rank), t.name());
    }
    return out;
}

LaunchSpec TaskService::SpecOf(const TaskRecord &task, std::string *why) const {
    LaunchSpec launch;
    // command_line runs in the folder text_a names, with text_e's arguments
    // after its own.
    launch.command_line = task.Text(Field::CommandLine);
    if (!task.Text(Field::TextE).empty()) launch.command_line += " " + task.Text(Field::TextE);
    launch.working_dir = task.Text(Field::TextA);
    if (task.layout >= 4) launch.affinity = static_cast<std::uint32_t>(task.Number(Field::Affinity));
    if (task.layout >= 5) {
        launch.priority = PriorityFromRequest(task.Number(Field::Priority));
        if (!launch.priority)
            *why = "Priority " + std::to_string(task.Number(Field::Priority)) +
                   " is not known: give -2 (idle) to 2 (high) or a Windows priority class below real time.";
    }
    return launch;
}

Outcome TaskService::LaunchTask(const TaskRecord &task, bool from_record) {
    std::string why;
    const LaunchSpec launch = SpecOf(task, &why);
    if (!why.empty()) return Outcome::Refuse(status::kInvalidParameter, why);
    std::uint32_t code = 0;
    LaunchSpec with_output = launch;
    with_output.output_fd = OpenOutput(RunningEntry::Kind::Task, task.name());
    auto child = Launch(with_output, &why, &code);
    os::CloseDescriptor(with_output.output_fd);
    if (!child) return Outcome::Refuse(static_cast<std::int32_t>(code), "Task " + Quoted(task.name()) + ": " + why);
    const auto pid = static_cast<std::int32_t>(child->pid());
    log::Info("task '" + task.name() + "' runs as process " + std::to_string(pid));
    tasks_running_[task.name()] = RunningTask{std::move(child), from_record};
    RecordRunning();
    return Outcome::Ok(pid, "Task " + Quoted(task.name()) + " runs as process " + std::to_string(pid) + ".");
}

Outcome TaskService::StartTaskFromRecord(const TaskRecord &task) {
    if (task.Text(Field::CommandLine).empty())
        return Outcome::Refuse(status::kInvalidParameter, "command_line should be defined");
    ReapChildren();
    if (task.name().empty()) {
        LaunchSpec launch;
        std::string why;
        launch = SpecOf(task, &why);
        return StartProcess(launch);
    }
    Gate gate(*this, task.name());
    if (const auto run = tasks_running_.find(task.name()); run != tasks_running_.end())
        return Outcome::Refuse(status::kBusy, "Task " + Quoted(task.name()) + " is already running (process " +
                                                  std::to_string(run->second.child->pid()) + ").");
    return LaunchTask(task, FindTask(task.name()) == nullptr);
}

Outcome TaskService::StartTaskByName(const std::string &name, std::uint16_t modifier, bool blocking) {
    Gate gate(*this, name);
    if (FindTask(name) == nullptr)
        return Outcome::Refuse(status::kNotFound, "Task " + Quoted(name) + " is not registered.");
    ReapChildren();
    if (const auto run = tasks_running_.find(name); run != tasks_running_.end()) {
        if (modifier != 1)
            return Outcome::Refuse(status::kBusy, "Task " + Quoted(name) + " is already running (process " +
                                                      std::to_string(run->second.child->pid()) + ").");
        int code = 0;
        log::Info("task '" + name + "' " + StopRunningTask(run, config_.stop_grace, &code) + " for its restart");
        RecordRunning();
    }
    // Found again: the registry may have changed while the stop waited.
    const TaskRecord *task = FindTask(name);
    if (task == nullptr) return Outcome::Refuse(status::kNotFound, "Task " + Quoted(name) + " is not registered.");
    if (blocking) return LaunchTask(*task, false);
    pending_starts_.push_back(name);
    starter_cv_.notify_one();
    return Outcome::Ok(0, "Task " + Quoted(name) + " is being started.");
}

Outcome TaskService::StopTask(const std::string &name, std::int32_t stop_value) {
    Gate gate(*this, name);
    ReapChildren();
    const auto run = tasks_running_.find(name);
    if (run == tasks_running_.end()) {
        // What the task started after it ended goes now.
        const int left = StopLeftovers(
            [&](const Leftover &l) { return l.kind == RunningEntry::Kind::Task && l.name == name; });
        if (FindTask(name) == nullptr && left == 0)
            return Outcome::Refuse(status::kNotFound, "Task " + Quoted(name) + " is not registered.");
        return Outcome::Ok(0, "Task " + Quoted(name) + " is not running.");
    }
    constexpr std::int32_t kMaxGraceSeconds = 600;
    const auto grace = stop_value > 0 ? std::chrono::milliseconds(std::min(stop_value, kMaxGraceSeconds) * 1000)
                                      : config_.stop_grace;
    int code = 0;
    log::Info("task '" + name + "' is stopping, with " + std::to_string(grace.count()) + " ms of grace");
    const std::string how = StopRunningTask(run, grace, &code);
    log::Info("task '" + name + "' " + how);
    StopLeftovers([&](const Leftover &l) { return l.kind == RunningEntry::Kind::Task && l.name == name; });
    RecordRunning();
    return Outcome::Ok(code, "Task " + Quoted(name) + " " + how + ".");
}

Outcome TaskService::StartProcess(const LaunchSpec &launch) {
    std::string why;
    std::uint32_t code = 0;
    LaunchSpec with_output = launch;
    with_output.output_fd = OpenOutput(RunningEntry::Kind::Process, {});
    auto child = Launch(with_output, &why, &code);
    os::CloseDescriptor(with_output.output_fd);
    if (!child) return Outcome::Refuse(static_cast<std::int32_t>(code), "The process could not start: " + why);
    const auto pid = static_cast<std::int32_t>(child->pid());
    std::string detail;
    if (launch.affinity != 0) detail += ", affinity mask " + std::to_string(launch.affinity);
    if (launch.priority) detail += std::string(", ") + PriorityName(*launch.priority) + " priority";
    log::Info("process " + std::to_string(pid) + " started: " + launch.command_line + detail);
    processes_.push_back(std::move(child));
    RecordRunning();
    return Outcome::Ok(pid, "Process " + std::to_string(pid) + " started.");
}

Outcome TaskService::CheckRunningList() {
    ReapChildren();
    const auto n = static_cast<std::int32_t>(tasks_running_.size() + processes_.size());
    return Outcome::Ok(n, std::to_string(n) + " task(s) and process(es) running.");
}

} // namespace taskd
