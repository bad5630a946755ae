// tidewell-taskd run as a child of a test: its own suffix and state folder,
// its log in a file, ready once it answers a request.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace taskd::test {

class TaskdProcess {
  public:
    // Starts the service from beside the test program with suffix (a unique
    // one when empty), state_dir (a new temporary folder when empty) and the
    // extra arguments, and waits (bounded) until it answers.
    explicit TaskdProcess(std::vector<std::string> extra_args = {}, std::string state_dir = {},
                          std::string suffix = {});
    ~TaskdProcess();
    TaskdProcess(const TaskdProcess &) = delete;
    TaskdProcess &operator=(const TaskdProcess &) = delete;

    // Whether it answered; when not, log() tells why.
    bool ready() const { return ready_; }
    const std::string &suffix() const { return suffix_; }
    const std::string &state_dir() const { return state_dir_; }
    std::uint32_t pid() const { return pid_; }
    // Leaves the state folder to the caller, who then removes it.
    std::string ReleaseStateDir() {
        own_state_dir_ = false;
        return state_dir_;
    }
    // What it wrote to stderr so far.
    std::string log() const;

    // Asks it to stop as SIGTERM (Windows: its stop event) does and waits for
    // its end. Returns its exit code, or -1 when it did not end in time and
    // had to be killed.
    int Stop();
    // Ends it at once, as SIGKILL or TerminateProcess do.
    void Kill();
    bool running();

  private:
    bool WaitReady();
    bool WaitExit(int timeout_ms, int *exit_code);

    std::string suffix_;
    std::string state_dir_;
    std::string log_path_;
    bool own_state_dir_ = false;
    bool ready_ = false;
    bool ended_ = false;
    std::uint32_t pid_ = 0;
#if defined(_WIN32)
    void *process_ = nullptr;
#endif
};

} // namespace taskd::test
