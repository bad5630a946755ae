// The task service's state and what it does: the database state machine,
// the exclusive lock, the registered tasks and their processes, the settings
// it keeps. Requests reach it decoded (dispatcher.h); every method expects the
// caller to hold mutex(), and a change is saved before it is acknowledged:
// concurrent changes share one durable write (see Commit).
// A method that waits for a child to end (a stop's grace) releases mutex()
// while it waits, so that other requests are answered meanwhile; requests
// that change the same task, or all of them, take turns (see Gate).
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <set>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "service/lock.h"
#include "service/os.h"
#include "service/outcome.h"
#include "service/processes.h"
#include "service/state.h"

namespace taskd {

struct ServiceConfig {
    std::string suffix;
    std::string node_name;
    std::string state_dir;
    std::string database_command;                   // empty: a database with state only
    std::chrono::seconds lock_lease{300};
    std::chrono::milliseconds stop_grace{5000};     // between terminate and kill
    std::uint64_t task_log_limit = 1u << 20;        // bytes of a child's log file before it rotates
    std::vector<std::string> subsystems;
    std::array<std::uint32_t, 2> permissions{0xFFFFFFFFu, 0xFFFFFFFFu};
    std::array<std::int32_t, 3> db_version{1, 0, 0};
    std::string db_version_text = "Tidewell 1.0.0";
};

// Database states, as the status requests report them.
enum class DatabaseState : std::int32_t { Stopped = 0, Running = 1, Failed = 2 };
// "The database is running." and the like: the text of a status answer.
const char *DatabaseStatusText(DatabaseState s);

// The changes a request may make to the kept state are saved through this.
// Returns an empty string, or why saving failed.
using SaveFunction = std::function<std::string(const PersistentState &)>;

class TaskService {
  public:
    using Clock = std::chrono::steady_clock;

    TaskService(ServiceConfig config, PersistentState state, SaveFunction save);
    ~TaskService();
    TaskService(const TaskService &) = delete;
    TaskService &operator=(const TaskService &) = delete;

    std::mutex &mutex() { return mu_; }
    const ServiceConfig &config() const { return config_; }
    // Takes the settings a running service can change from next (the
    // database command, the stop grace, the permission and version
    // answers, the task log limit); call with mutex() held. Defined in
    // reload.cpp.
    void ApplyReloadable(const ServiceConfig &next);
    const PersistentState &state() const { return state_; }

    // ---- Database --------------------------------------------------------
    Outcome StartDatabase(bool cluster);
    Outcome StopDatabase(bool cluster);
    Outcome StopExternalTasks();
    Outcome UnmapPrograms();
    Outcome StopSubsystem(const std::string &name, bool wait);
    DatabaseState database_state() const { return db_state_; }
    Outcome DatabaseStatus() const;
    Outcome SetDatabaseStatus(std::int32_t wanted);
    // The number of registered tasks whose process runs (exited ones reaped).
    std::int32_t RunningTaskCount();

    // ---- Exclusive lock ----------------------------------------------------
    ExclusiveLock &lock() { return lock_; }
    // Ends a lease that ran out, and logs it.
    void LapseLock(Clock::time_point now);

    // ---- Registered tasks ----------------------------------------------------
    // position: where the task goes, -1 after the last one.
    Outcome AddTask(TaskRecord task, std::int32_t position);
    // Fields whose presence bit is in bits replace the registered ones.
    Outcome UpdateTask(const TaskRecord &changes, std::uint32_t bits);
    Outcome RemoveTask(const std::string &name);
    // names with their order numbers, in the order given.
    Outcome SetStartupOrders(const std::vector<std::pair<std::uint8_t, std::string>> &orders);
    Outcome SetBootStart(bool on);
    // Task names in list order with their rank in startup order (1 = first).
    std::vector<std::pair<std::uint8_t, std::string>> TaskListForReply() const;

    // ---- Tasks and processes ---------------------------------------------
    // A task described by a record; tracked under its name when it has one.
    Outcome StartTaskFromRecord(const TaskRecord &task);
    // modifier 1 restarts a task that runs; blocking waits until the program
    // runs, otherwise the start happens after the reply.
    Outcome StartTaskByName(const std::string &name, std::uint16_t modifier, bool blocking);
    // stop_value > 0: seconds of grace between terminate and kill.
    Outcome StopTask(const std::string &name, std::int32_t stop_value);
    Outcome StartProcess(const LaunchSpec &launch);
    Outcome CheckRunningList();

    // ---- Settings kept in the state folder -----------------------------------
    Outcome SetAuditTrail(std::int32_t first, std::int32_t second);
    Outcome SaveGroup(const std::string &file_name);
    Outcome LoadGroup(const std::string &file_name, std::int32_t option);
    Outcome UpdateSnapshot(const SnapshotEntry &entry);

    // ---- Life of the service -----------------------------------------------
    // Reaps exited children and ends a lapsed lease; run about once a second.
    void Housekeeping(Clock::time_point now);
    // Stops every child the service started and saves the state.
    void Shutdown();

  private:
    struct RunningTask {
        std::unique_ptr<ChildProcess> child;
        bool from_record = false; // started from a record, not by name
        bool stopping = false;    // a stop waits for it: only that stop drops it
    };
    using RunningMap = std::map<std::string, RunningTask>;

    // Held by a request that changes one task (by name) or all of them; it
    // waits, releasing mu_, while another request holds what it needs. One
    // that changes all goes before later ones on single tasks.
    class Gate {
      public:
        Gate(TaskService &svc, const std::string &task);
        explicit Gate(TaskService &svc);
        ~Gate();
        Gate(const Gate &) = delete;
        Gate &operator=(const Gate &) = delete;

      private:
        TaskService &svc_;
        std::string task_;
        bool whole_;
    };
    // A child that has exited while what it started still runs in its
    // process group: stopped with the task, the database or the service.
    struct Leftover {
        RunningEntry::Kind kind;
        std::string name; // the task's; empty for a process
        bool from_record = false;
        std::unique_ptr<ChildProcess> child;
    };

    // Group commit. A change is applied to state_ at once, in turn under
    // mu_, and numbered; then its request waits, releasing mu_, for a write
    // of the latest state that contains it. One write runs at a time, made
    // by one of the waiting requests for every change applied so far. A
    // failed write refuses every change it held and puts state_ back to what
    // is on disk (the running children stay as they are). Returns ok, or the
    // refusal a failed save gives.
    Outcome Commit(PersistentState next, Outcome ok);
    struct PendingEdit {
        std::uint64_t seq = 0;
        bool done = false;
        std::string failed; // why its write failed; empty once written
    };
    void AwaitDurable(PendingEdit &edit);
    // Writes the latest state, releasing mu_ during the write; expects no
    // write under way.
    void WriteBatch();
    // Writes the latest state without releasing mu_; expects no write under
    // way. Returns why it failed, or an empty string.
    std::string SaveHere();
    // Settles the waiting changes after a write of written (numbered seq).
    void Settle(std::uint64_t seq, PersistentState written, const std::string &why);
    bool RunningUnsaved() const { return running_seq_ > durable_seq_; }
    TaskRecord *FindTask(const std::string &name);
    // Registered tasks in startup order: ordered ones first, then the rest,
    // each group in list order.
    std::vector<const TaskRecord *> TasksInStartupOrder() const;
    // Whether the task list still fits a reply with one more task of name.
    std::string ListRoomFor(const std::vector<TaskRecord> &tasks) const;
    Outcome LaunchTask(const TaskRecord &task, bool from_record);
    LaunchSpec SpecOf(const TaskRecord &task, std::string *why) const;
    // Stops one child with the grace time, releasing mu_ while it waits;
    // describes the ending. Nobody else may drop the child meanwhile: it is
    // a stopping task's, or held by the caller alone.
    std::string StopChild(ChildProcess &child, std::chrono::milliseconds grace, int *exit_code);
    // Marks a running task as stopping, stops it and drops it.
    std::string StopRunningTask(RunningMap::iterator run, std::chrono::milliseconds grace, int *exit_code);
    Outcome DoStartDatabase(bool cluster);
    Outcome DoStopDatabase(bool cluster);
    void ReapChildren();
    void StopAllChildren();
    // Opens the state folder and its "logs" folder for group files and the
    // children's output; takes over the children a crashed run left running.
    void OpenFolders();
    void AdoptSurvivors();
    // Keeps the running children in the state file, saved when they changed.
    void RecordRunning();
    // The log file a child writes to (-1: none), opened for Launch; the
    // caller closes it with os::CloseDescriptor once the child runs.
    int OpenOutput(RunningEntry::Kind kind, const std::string &name);
    // Moves an exited child whose group still runs to the leftovers.
    void KeepLeftover(RunningEntry::Kind kind, const std::string &name, bool from_record,
                      std::unique_ptr<ChildProcess> child);
    // Stops the leftovers that match; returns how many groups it stopped.
    int StopLeftovers(const std::function<bool(const Leftover &)> &which);
    void StarterLoop();

    ServiceConfig config_;
    PersistentState state_;
    SaveFunction save_;
    std::mutex mu_;

    DatabaseState db_state_ = DatabaseState::Stopped;
    std::unique_ptr<ChildProcess> database_;
    std::map<std::string, bool> subsystem_running_;
    ExclusiveLock lock_;

    RunningMap tasks_running_;
    std::vector<std::unique_ptr<ChildProcess>> processes_;
    std::vector<Leftover> leftovers_;
    std::unique_ptr<os::Folder> folder_; // the state folder
    std::unique_ptr<os::Folder> logs_;   // its "logs" folder

    // Starts requested without waiting run on this thread.
    std::thread starter_;
    std::condition_variable starter_cv_;
    std::deque<std::string> pending_starts_;
    bool stopping_ = false;

    // Group commit (see Commit): changes applied to state_ are numbered;
    // durable_state_ is what the state file holds.
    PersistentState durable_state_;
    std::uint64_t applied_seq_ = 0;
    std::uint64_t durable_seq_ = 0;
    std::uint64_t running_seq_ = 0; // the last change of state_.running
    bool writing_ = false;          // a write runs with mu_ released
    bool gathering_ = false;        // its writer waits for more changes
    std::size_t last_batch_ = 0;    // changes the last write acknowledged
    Clock::duration last_write_{};  // how long it took
    std::condition_variable_any gather_cv_;
    std::vector<PendingEdit *> pending_;
    std::condition_variable_any commit_cv_;

    std::condition_variable_any gate_cv_;
    std::set<std::string> busy_tasks_;
    bool whole_busy_ = false;
    int whole_waiting_ = 0;
};

} // namespace taskd
