// The database state machine: start and stop (the program of
// --database-command, then the registered tasks), subsystems, status.
#include "service/log.h"
#include "service/task_service.h"

namespace taskd {

// Whole sentences, so that a status answer is written without composing it.
const char *DatabaseStatusText(DatabaseState s) {
    switch (s) {
    case DatabaseState::Stopped: return "The database is stopped.";
    case DatabaseState::Running: return "The database is running.";
    case DatabaseState::Failed: return "The database is stopped: its program exited on its own.";
    }
    return "The database is stopped.";
}

Outcome TaskService::StartDatabase(bool cluster) {
    Gate all(*this);
    return DoStartDatabase(cluster);
}

Outcome TaskService::DoStartDatabase(bool cluster) {
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
    Gate all(*this);
    return DoStopDatabase(cluster);
}

Outcome TaskService::DoStopDatabase(bool cluster) {
    if (db_state_ != DatabaseState::Running) {
        db_state_ = DatabaseState::Stopped;
        return Outcome::Ok(0, "The database is not running.");
    }
    int code = 0;
    int stopped = 0;
    // Names, not records: the registry may change while a stop waits.
    std::vector<std::string> names;
    for (const TaskRecord *t : TasksInStartupOrder()) names.push_back(t->name());
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        const auto run = tasks_running_.find(*it);
        if (run == tasks_running_.end()) continue;
        const std::string name = run->first; // the entry goes with the stop
        log::Info("task '" + name + "' " + StopRunningTask(run, config_.stop_grace, &code));
        ++stopped;
    }
    // Held here alone while it stops, so that housekeeping does not reap it.
    if (auto database = std::move(database_)) {
        log::Info("the database program " + StopChild(*database, config_.stop_grace, &code));
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
    Gate all(*this);
    int code = 0;
    int stopped = 0;
    // Held here alone while they stop; processes started meanwhile stay.
    auto processes = std::move(processes_);
    processes_.clear();
    for (auto &child : processes) {
        log::Info("process " + std::to_string(child->pid()) + " " + StopChild(*child, config_.stop_grace, &code));
        ++stopped;
    }
    // Tasks started from a record are not registered: external too.
    for (auto it = tasks_running_.begin(); it != tasks_running_.end();) {
        if (!it->second.from_record || it->second.stopping) {
            ++it;
            continue;
        }
        const std::string name = it->first;
        log::Info("task '" + name + "' " + StopRunningTask(it, config_.stop_grace, &code));
        // Others may have been dropped while the stop waited: start over.
        it = tasks_running_.begin();
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
    return Outcome::Ok(static_cast<std::int32_t>(db_state_), DatabaseStatusText(db_state_));
}

Outcome TaskService::SetDatabaseStatus(std::int32_t wanted) {
    Outcome o;
    Gate all(*this);
    if (wanted == static_cast<std::int32_t>(DatabaseState::Running))
        o = DoStartDatabase(false);
    else if (wanted == static_cast<std::int32_t>(DatabaseState::Stopped))
        o = DoStopDatabase(false);
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
