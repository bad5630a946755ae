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
};

// Splits a command line into arguments: blanks separate them, double or
// single quotes group, and a backslash takes a following quote or backslash
// literally. Empty when the line holds no argument or a quote is left open.
std::vector<std::string> SplitCommandLine(const std::string &line);

class ChildProcess {
  public:
    virtual ~ChildProcess() = default;
    virtual std::uint32_t pid() const = 0;
    // False once the process has exited (it is then reaped); *exit_code
    // receives its exit code, or 128 + the signal that ended it.
    virtual bool Running(int *exit_code) = 0;
    // Asks the process (and what it started) to end: SIGTERM to its process
    // group; Ctrl-Break to its process group on Windows.
    virtual void Terminate() = 0;
    // Ends it without asking.
    virtual void Kill() = 0;
};

// Starts a process. Null and *why (with *code, a Win32 error code) when it
// could not start, with its affinity and priority set before it runs.
std::unique_ptr<ChildProcess> Launch(const LaunchSpec &launch, std::string *why, std::uint32_t *code);

// How a stop ended.
enum class StopOutcome { AlreadyExited, Terminated, Killed };

// How a stop passes the time between its checks of the child: a sleep by
// default; the task service releases its lock meanwhile.
using StopPause = std::function<void(std::chrono::milliseconds)>;

// Terminates, waits up to grace for the process to end, then kills it.
StopOutcome StopProcess(ChildProcess &child, std::chrono::milliseconds grace, int *exit_code,
                        const StopPause &pause = {});

} // namespace taskd
