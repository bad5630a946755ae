// The service's life: construction, saving, the lock's lease, housekeeping,
// the starter thread and shutdown.
#include "service/task_service.h"

#include "service/log.h"
#include "service/os.h"

namespace taskd {

TaskService::TaskService(ServiceConfig config, PersistentState state, SaveFunction save)
    : config_(std::move(config)), state_(std::move(state)), save_(std::move(save)),
      lock_(config_.lock_lease, os::RandomU32) {
    for (const std::string &s : config_.subsystems) subsystem_running_[s] = false;
    OpenFolders();
    AdoptSurvivors();
    starter_ = std::thread([this] { StarterLoop(); });
}

TaskService::~TaskService() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
        pending_starts_.clear();
    }
    starter_cv_.notify_all();
    starter_.join();
}

Outcome TaskService::Commit(PersistentState next, Outcome ok) {
    if (const std::string why = save_(next); !why.empty()) {
        log::Error("the state could not be saved, the change is refused: " + why);
        return Outcome::Refuse(status::kWriteFault, "The service could not save its state; nothing was changed. " +
                                                        why);
    }
    state_ = std::move(next);
    return ok;
}

void TaskService::LapseLock(Clock::time_point now) {
    if (const auto holder = lock_.Lapse(now)) {
        log::Warning("the exclusive lock of " + *holder + " lapsed: no request carried its token for " +
                     std::to_string(lock_.lease().count()) + " s");
    }
}

void TaskService::Housekeeping(Clock::time_point now) {
    LapseLock(now);
    ReapChildren();
    if (logs_) logs_->CapLogs(config_.task_log_limit);
}

void TaskService::ReapChildren() {
    ReapOrphans();
    int code = 0;
    if (database_ && !database_->Running(&code)) {
        log::Warning("the database program (process " + std::to_string(database_->pid()) +
                     ") exited on its own with code " + std::to_string(code));
        KeepLeftover(RunningEntry::Kind::Database, {}, false, std::move(database_));
        database_.reset();
        db_state_ = DatabaseState::Failed;
        for (auto &[name, running] : subsystem_running_) running = false;
    }
    for (auto it = tasks_running_.begin(); it != tasks_running_.end();) {
        if (it->second.child->Running(&code)) {
            ++it;
            continue;
        }
        log::Info("task '" + it->first + "' (process " + std::to_string(it->second.child->pid()) +
                  ") exited with code " + std::to_string(code));
        KeepLeftover(RunningEntry::Kind::Task, it->first, it->second.from_record, std::move(it->second.child));
        it = tasks_running_.erase(it);
    }
    for (auto it = processes_.begin(); it != processes_.end();) {
        if ((*it)->Running(&code)) {
            ++it;
            continue;
        }
        log::Info("process " + std::to_string((*it)->pid()) + " exited with code " + std::to_string(code));
        KeepLeftover(RunningEntry::Kind::Process, {}, false, std::move(*it));
        it = processes_.erase(it);
    }
    // A group is gone once its last process has ended.
    for (auto it = leftovers_.begin(); it != leftovers_.end();)
        it = it->child->GroupAlive() ? it + 1 : leftovers_.erase(it);
    RecordRunning();
}

std::string TaskService::StopChild(ChildProcess &child, std::chrono::milliseconds grace, int *exit_code) {
    switch (StopProcess(child, grace, exit_code)) {
    // A process taken over after a restart is not the service's child: its
    // exit code cannot be known.
    case StopOutcome::AlreadyExited:
        return *exit_code < 0 ? "had already exited" : "had already exited with code " + std::to_string(*exit_code);
    case StopOutcome::Terminated:
        return *exit_code < 0 ? "stopped" : "stopped (exit code " + std::to_string(*exit_code) + ")";
    case StopOutcome::Killed:
        return "did not end within " + std::to_string(grace.count()) + " ms and was killed";
    }
    return "stopped";
}

void TaskService::StopAllChildren() {
    int code = 0;
    // Tasks in reverse startup order, then what else runs, the database last.
    const auto ordered = TasksInStartupOrder();
    for (auto it = ordered.rbegin(); it != ordered.rend(); ++it) {
        const auto run = tasks_running_.find((*it)->name());
        if (run == tasks_running_.end()) continue;
        log::Info("task '" + run->first + "' " + StopChild(*run->second.child, config_.stop_grace, &code));
        tasks_running_.erase(run);
    }
    for (auto &[name, run] : tasks_running_)
        log::Info("task '" + name + "' " + StopChild(*run.child, config_.stop_grace, &code));
    tasks_running_.clear();
    for (auto &child : processes_)
        log::Info("process " + std::to_string(child->pid()) + " " + StopChild(*child, config_.stop_grace, &code));
    processes_.clear();
    if (database_) {
        log::Info("the database program " + StopChild(*database_, config_.stop_grace, &code));
        database_.reset();
    }
    StopLeftovers([](const Leftover &) { return true; });
    RecordRunning();
}

void TaskService::Shutdown() {
    // Starts still waiting would only make children nobody stops.
    stopping_ = true;
    pending_starts_.clear();
    starter_cv_.notify_all();
    StopAllChildren();
    if (db_state_ == DatabaseState::Running) db_state_ = DatabaseState::Stopped;
    if (const std::string why = save_(state_); !why.empty()) log::Error("the state could not be saved: " + why);
}

void TaskService::StarterLoop() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        starter_cv_.wait(lock, [this] { return stopping_ || !pending_starts_.empty(); });
        if (stopping_) return;
        const std::string name = std::move(pending_starts_.front());
        pending_starts_.pop_front();
        const TaskRecord *task = FindTask(name);
        if (task == nullptr) {
            log::Warning("task '" + name + "' was removed before its start");
            continue;
        }
        if (tasks_running_.count(name) != 0) continue;
        const Outcome o = LaunchTask(*task, false);
        if (!o.ok()) log::Warning("task '" + name + "' could not start: " + o.text);
    }
}

} // namespace taskd
