// Child processes of the service: the database program, registered tasks and
// processes started on request. processes_posix.cpp and processes_win.cpp
// start them; processes.cpp holds what both share.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace taskd {

// Scheduling priority, from the request's priority word.
enum class Priority { Idle, BelowNormal, Normal, AboveNormal, High };

// The priority a request asks for: a level from -2 (idle) to 2 (high), or a
// Windows priority class value (0x40, 0x4000, 0x20, 0x8000, 0x80). Null for
// anything else, the real-time class included.
std::optional<Priority> PriorityFromRequest(std::int32_t word);
const char *PriorityName(Priority p);

struct LaunchSpec {
    std::string command_line;      // program and arguments
    std::string working_dir;       // empty: the service's own
    std::uint32_t affinity = 0;    // processor mask; 0: any processor
    std::optional<Priority> priority;
    // POSIX: the descriptor the child's stdout and stderr go to (a task's
    // log file); -1: /dev/null. Windows: children share the service's.
    int output_fd = -1;
};

// Splits a command line into arguments: blanks separate them, double or
// single quotes group, and a backslash takes a following quote or backslash
// literally. Empty when the line holds no argument or a quote is left open.
std::vector<std::string> SplitCommandLine(const std::string &line);

// A child runs in a process group of its own, led by it, so that what it
// starts is stopped with it.
class ChildProcess {
  public:
    virtual ~ChildProcess() = default;
    virtual std::uint32_t pid() const = 0;
    // When the process started, as the system counts it (POSIX: clock ticks
    // since boot, /proc/<pid>/stat; Windows: its creation time). With the
    // process id it names one process for good, also after the id is reused.
    virtual std::uint64_t start_time() const { return 0; }
    // False once the process has exited (it is then reaped); *exit_code
    // receives its exit code, or 128 + the signal that ended it, or -1 when
    // the service cannot know it (a process adopted after a restart).
    virtual bool Running(int *exit_code) = 0;
    // Whether something of its process group still runs, the process itself
    // or what it started (POSIX).
    virtual bool GroupAlive() { return false; }
    // Asks the process (and what it started) to end: SIGTERM to its process
    // group; Ctrl-Break to its process group on Windows.
    virtual void Terminate() = 0;
    // Ends it and its process group without asking.
    virtual void Kill() = 0;
};

// Starts a process. Null and *why (with *code, a Win32 error code) when it
// could not start, with its affinity and priority set before it runs.
std::unique_ptr<ChildProcess> Launch(const LaunchSpec &launch, std::string *why, std::uint32_t *code);

// The process pid when it still runs and started at start_time (a process
// the service started before a restart), else null: a reused process id is
// never taken for it. POSIX uses a pidfd where the system has one, so that
// signals reach that process and no other.
std::unique_ptr<ChildProcess> Adopt(std::uint32_t pid, std::uint64_t start_time);

// POSIX: makes the service the reaper of every process its children leave
// behind (a child subreaper), and from then on ReapOrphans also reaps those.
// Returns an empty string, or why it could not.
std::string BecomeSubreaper();
// Collects the exit of every ended child: those the service tracks keep
// their exit code for Running(); orphans that were handed to the service are
// reaped, so that no zombie piles up.
void ReapOrphans();

// How a stop ended.
enum class StopOutcome { AlreadyExited, Terminated, Killed };

// How a stop passes the time between its checks of the child: a sleep by
// default; the task service releases its lock meanwhile.
using StopPause = std::function<void(std::chrono::milliseconds)>;

// Terminates the process and its group, waits up to grace for both to end,
// then kills what is left. A process that has exited but left its group
// running counts as running until the group is gone.
StopOutcome StopProcess(ChildProcess &child, std::chrono::milliseconds grace, int *exit_code,
                        const StopPause &pause = {});

} // namespace taskd
