// The database state machine: start and stop (the program of
// --database-command, then the registered tasks), subsystems, status.
#include "service/log.h"
#include "service/task_service.h"

namespace taskd {
namespace {

const char *StateName(DatabaseState s) {
    switch (s) {
    case DatabaseState::Stopped: return "stopped";
    case DatabaseState::Running: return "running";
    case DatabaseState::Failed: return "stopped: its program exited on its own";
    }
    return "stopped";
}

} // namespace

Outcome TaskService::StartDatabase(bool cluster) {
    const char *form = cluster ? " (cluster start)" : "";
    if (db_state_ == DatabaseState::Running) return Outcome::Ok(1, "The database is already running.");
    if (!config_.database_command.empty()) {
        LaunchSpec launch;
        launch.command_line = config_.database_command;
        std::string why;
        std::uint32_t code = 0;
        launch.output_fd = OpenOutput(RunningEntry::Kind::Database, {});
        database_ = Launch(launch, &why, &code);
        os::CloseDescriptor(launch.output_fd);
        if (!database_) {
            log::Error(std::string("the database program could not start") + form + ": " + why);
            return Outcome::Refuse(static_cast<std::int32_t>(code), "The database program could not start: " + why);
        }
        log::Info("the database program runs as process " + std::to_string(database_->pid()));
    }
    db_state_ = DatabaseState::Running;
    for (auto &[name, running] : subsystem_running_) running = true;
    log::Info(std::string("the database is running") + form);

    int started = 0;
    std::string failures;
    for (const TaskRecord *task : TasksInStartupOrder()) {
        if (tasks_running_.count(task->name()) != 0) continue;
        const Outcome o = LaunchTask(*task, false);
        if (o.ok()) {
            ++started;
        } else {
            failures += (failures.empty() ? "" : "; ") + task->name() + ": " + o.text;
            log::Warning("task '" + task->name() + "' could not start with the database: " + o.text);
        }
    }
    RecordRunning();
    std::string text = "The database is running; " + std::to_string(started) + " task(s) started.";
    if (!failures.empty()) text += " Not started: " + failures;
    return Outcome::Ok(1, std::move(text));
}

Outcome TaskService::StopDatabase(bool cluster) {
    if (db_state_ != DatabaseState::Running) {
        db_state_ = DatabaseState::Stopped;
        return Outcome::Ok(0, "The database is not running.");
    }
    int code = 0;
    int stopped = 0;
    const auto ordered = TasksInStartupOrder();
    for (auto it = ordered.rbegin(); it != ordered.rend(); ++it) {
        const auto run = tasks_running_.find((*it)->name());
        if (run == tasks_running_.end()) continue;
        log::Info("task '" + run->first + "' " + StopChild(*run->second.child, config_.stop_grace, &code));
        tasks_running_.erase(run);
        ++stopped;
    }
    if (database_) {
        log::Info("the database program " + StopChild(*database_, config_.stop_grace, &code));
        database_.reset();
    }
    // What registered tasks and the database program left running goes too.
    StopLeftovers([](const Leftover &l) { return !l.from_record && l.kind != RunningEntry::Kind::Process; });
    RecordRunning();
    db_state_ = DatabaseState::Stopped;
    for (auto &[name, running] : subsystem_running_) running = false;
    log::Info(std::string("the database is stopped") + (cluster ? " (cluster stop)" : ""));
    return Outcome::Ok(0, "The database is stopped; " + std::to_string(stopped) + " task(s) stopped.");
}

Outcome TaskService::StopExternalTasks() {
    int code = 0;
    int stopped = 0;
    for (auto &child : processes_) {
        log::Info("process " + std::to_string(child->pid()) + " " + StopChild(*child, config_.stop_grace, &code));
        ++stopped;
    }
    processes_.clear();
    // Tasks started from a record are not registered: external too.
    for (auto it = tasks_running_.begin(); it != tasks_running_.end();) {
        if (!it->second.from_record) {
            ++it;
            continue;
        }
        log::Info("task '" + it->first + "' " + StopChild(*it->second.child, config_.stop_grace, &code));
        it = tasks_running_.erase(it);
        ++stopped;
    }
    StopLeftovers([](const Leftover &l) { return l.from_record || l.kind == RunningEntry::Kind::Process; });
    RecordRunning();
    return Outcome::Ok(stopped, std::to_string(stopped) + " external task(s) stopped.");
}

Outcome TaskService::UnmapPrograms() {
    if (db_state_ == DatabaseState::Running)
        return Outcome::Refuse(status::kBusy, "The database is running; stop it before unmapping its programs.");
    ReapChildren();
    db_state_ = DatabaseState::Stopped;
    return Outcome::Ok(0, "The database's programs are unmapped.");
}

Outcome TaskService::StopSubsystem(const std::string &name, bool wait) {
    const auto it = subsystem_running_.find(name);
    if (it == subsystem_running_.end())
        return Outcome::Refuse(status::kNotFound, "Subsystem '" + name + "' is not known to this service.");
    if (!it->second) return Outcome::Ok(0, "Subsystem '" + name + "' is not running.");
    // A subsystem is part of the database's state: it stops at once, so the
    // waiting form has nothing more to wait for.
    it->second = false;
    log::Info("subsystem '" + name + "' stopped" + (wait ? " (waited)" : ""));
    return Outcome::Ok(0, "Subsystem '" + name + "' stopped.");
}

Outcome TaskService::DatabaseStatus() const {
    return Outcome::Ok(static_cast<std::int32_t>(db_state_), std::string("The database is ") + StateName(db_state_) + ".");
}

Outcome TaskService::SetDatabaseStatus(std::int32_t wanted) {
    Outcome o;
    if (wanted == static_cast<std::int32_t>(DatabaseState::Running))
        o = StartDatabase(false);
    else if (wanted == static_cast<std::int32_t>(DatabaseState::Stopped))
        o = StopDatabase(false);
    else
        return Outcome::Refuse(status::kInvalidParameter, "Status " + std::to_string(wanted) +
                                                              " cannot be set: 1 starts the database, 0 stops it.");
    if (o.ok()) o.value = static_cast<std::int32_t>(db_state_);
    return o;
}

std::int32_t TaskService::RunningTaskCount() {
    ReapChildren();
    std::int32_t n = 0;
    for (const auto &[name, run] : tasks_running_)
        if (!run.from_record) ++n;
    return n;
}

} // namespace taskd
