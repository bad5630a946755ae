// The service's life: construction, saving, the lock's lease, housekeeping,
// the starter thread and shutdown.
#include "service/task_service.h"

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "service/log.h"
#include "service/os.h"
#include "service/worker_pool.h"

namespace taskd {

TaskService::TaskService(ServiceConfig config, PersistentState state, SaveFunction save)
    : config_(std::move(config)), state_(std::move(state)), save_(std::move(save)),
      lock_(config_.lock_lease, os::RandomU32), durable_state_(state_) {
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
    gate_cv_.notify_all();
    starter_.join();
}

TaskService::Gate::Gate(TaskService &svc, const std::string &task) : svc_(svc), task_(task), whole_(false) {
    auto free = [this] { return !svc_.whole_busy_ && svc_.whole_waiting_ == 0 && svc_.busy_tasks_.count(task_) == 0; };
    if (!free()) {
        BlockingScope blocking;
        svc_.gate_cv_.wait(svc_.mu_, free);
    }
    svc_.busy_tasks_.insert(task_);
}

TaskService::Gate::Gate(TaskService &svc) : svc_(svc), whole_(true) {
    auto free = [this] { return !svc_.whole_busy_ && svc_.busy_tasks_.empty(); };
    if (!free()) {
        BlockingScope blocking;
        ++svc_.whole_waiting_;
        svc_.gate_cv_.wait(svc_.mu_, free);
        --svc_.whole_waiting_;
    }
    svc_.whole_busy_ = true;
}

TaskService::Gate::~Gate() {
    if (whole_)
        svc_.whole_busy_ = false;
    else
        svc_.busy_tasks_.erase(task_);
    svc_.gate_cv_.notify_all();
}

Outcome TaskService::Commit(PersistentState next, Outcome ok) {
    state_ = std::move(next);
    PendingEdit edit;
    edit.seq = ++applied_seq_;
    pending_.push_back(&edit);
    if (gathering_) gather_cv_.notify_one();
    AwaitDurable(edit);
    if (!edit.failed.empty())
        return Outcome::Refuse(status::kWriteFault,
                               "The service could not save its state; nothing was changed. " + edit.failed);
    return ok;
}

void TaskService::AwaitDurable(PendingEdit &edit) {
    // An fsync is long: the pool may add a thread meanwhile.
    BlockingScope blocking;
    while (!edit.done) {
        if (!writing_)
            WriteBatch();
        else
            commit_cv_.wait(mu_);
    }
    // Running children recorded while a write was under way go out now,
    // unless a change still waiting takes them with it.
    while (RunningUnsaved() && !writing_ && pending_.empty()) {
        const std::uint64_t before = durable_seq_;
        WriteBatch();
        if (durable_seq_ == before) break; // failed: logged, kept for the next write
    }
}

void TaskService::WriteBatch() {
    writing_ = true;
    // The requests the last write acknowledged mostly come back with their
    // next change at once: wait for them briefly, so that they share this
    // write instead of each pair of writes taking half of them. Bounded by
    // half the last write's time; a lone client never waits.
    if (!pending_.empty() && pending_.size() < last_batch_) {
        constexpr auto kMostGather = std::chrono::milliseconds(2);
        const auto until = Clock::now() + std::min<Clock::duration>(kMostGather, last_write_ / 2);
        gathering_ = true;
        gather_cv_.wait_until(mu_, until, [this] { return pending_.size() >= last_batch_; });
        gathering_ = false;
    }
    const auto started = Clock::now();
    const std::uint64_t seq = applied_seq_;
    PersistentState snapshot = state_;
    std::string why;
    mu_.unlock();
    try {
        why = save_(snapshot);
    } catch (const std::exception &e) {
        why = e.what();
    }
    mu_.lock();
    writing_ = false;
    last_write_ = Clock::now() - started;
    Settle(seq, std::move(snapshot), why);
}

std::string TaskService::SaveHere() {
    std::string why;
    try {
        why = save_(state_);
    } catch (const std::exception &e) {
        why = e.what();
    }
    // A failure here refuses nothing: the changes waiting write again.
    if (why.empty()) Settle(applied_seq_, state_, why);
    return why;
}

void TaskService::Settle(std::uint64_t seq, PersistentState written, const std::string &why) {
    if (why.empty()) {
        durable_seq_ = seq;
        durable_state_ = std::move(written);
        const std::size_t waiting = pending_.size();
        std::erase_if(pending_, [seq](PendingEdit *e) {
            if (e->seq > seq) return false;
            e->done = true;
            return true;
        });
        last_batch_ = waiting - pending_.size();
    } else if (pending_.empty()) {
        log::Error("the running children could not be saved; after a crash they would not be taken over: " + why);
    } else {
        // Every change not on disk is refused, also those applied during
        // the write: they were made on top of the refused ones.
        log::Error("the state could not be saved, " + std::to_string(pending_.size()) +
                   " change(s) refused: " + why);
        std::vector<RunningEntry> running = std::move(state_.running);
        state_ = durable_state_;
        state_.running = std::move(running);
        for (PendingEdit *e : pending_) {
            e->done = true;
            e->failed = why;
        }
        pending_.clear();
        last_batch_ = 0;
    }
    commit_cv_.notify_all();
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
        // A stopping task is its stop's to drop.
        if (it->second.stopping || it->second.child->Running(&code)) {
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
    // Other requests go on while this one waits for the child; the pool that
    // runs it may add a thread meanwhile.
    BlockingScope blocking;
    const auto pause = [this](std::chrono::milliseconds d) {
        mu_.unlock();
        std::this_thread::sleep_for(d);
        mu_.lock();
    };
    switch (StopProcess(child, grace, exit_code, pause)) {
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

std::string TaskService::StopRunningTask(RunningMap::iterator run, std::chrono::milliseconds grace,
                                         int *exit_code) {
    run->second.stopping = true;
    const std::string how = StopChild(*run->second.child, grace, exit_code);
    // Nobody else drops a stopping task: the iterator still holds.
    tasks_running_.erase(run);
    return how;
}

void TaskService::StopAllChildren() {
    int code = 0;
    // Tasks in reverse startup order, then what else runs, the database last.
    // Names, not records: the registry may change while a stop waits.
    std::vector<std::string> names;
    for (const TaskRecord *t : TasksInStartupOrder()) names.push_back(t->name());
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        const auto run = tasks_running_.find(*it);
        if (run == tasks_running_.end() || run->second.stopping) continue;
        const std::string name = run->first; // the entry goes with the stop
        log::Info("task '" + name + "' " + StopRunningTask(run, config_.stop_grace, &code));
    }
    for (auto run = tasks_running_.begin(); run != tasks_running_.end();) {
        if (run->second.stopping) {
            ++run;
            continue;
        }
        const std::string name = run->first;
        log::Info("task '" + name + "' " + StopRunningTask(run, config_.stop_grace, &code));
        run = tasks_running_.begin();
    }
    auto processes = std::move(processes_);
    processes_.clear();
    for (auto &child : processes)
        log::Info("process " + std::to_string(child->pid()) + " " + StopChild(*child, config_.stop_grace, &code));
    if (auto database = std::move(database_)) {
        log::Info("the database program " + StopChild(*database, config_.stop_grace, &code));
    }
    StopLeftovers([](const Leftover &) { return true; });
    RecordRunning();
}

void TaskService::Shutdown() {
    // Starts still waiting would only make children nobody stops.
    stopping_ = true;
    pending_starts_.clear();
    starter_cv_.notify_all();
    gate_cv_.notify_all();
    Gate all(*this);
    StopAllChildren();
    if (db_state_ == DatabaseState::Running) db_state_ = DatabaseState::Stopped;
    // After the write under way, if any; the changes still waiting are
    // written with this one.
    commit_cv_.wait(mu_, [this] { return !writing_; });
    if (const std::string why = SaveHere(); !why.empty()) log::Error("the state could not be saved: " + why);
}

void TaskService::StarterLoop() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        starter_cv_.wait(lock, [this] { return stopping_ || !pending_starts_.empty(); });
        if (stopping_) return;
        const std::string name = std::move(pending_starts_.front());
        pending_starts_.pop_front();
        // After a stop or another change of the same task that is under way.
        Gate gate(*this, name);
        if (stopping_) return;
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
