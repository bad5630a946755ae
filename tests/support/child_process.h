// Programs run by the tests: a call that is awaited with its output, or a
// helper process (a service) that runs until the test ends it.
#pragma once

#include <string>
#include <vector>

namespace vex::test {

// The outcome of one awaited run.
struct RunOutput {
    int exit_code = -1;     // -1 when the program did not end in time or could not start
    bool timed_out = false; // it did not end in time and was killed
    std::string out;        // everything it wrote to stdout
    std::string err;        // ... and to stderr
};

// Runs argv[0] (a path) with the other arguments, waits at most
// timeout_seconds, and returns its exit code and output.
RunOutput RunProgram(const std::vector<std::string> &argv, double timeout_seconds);

// A helper process with its output going to a file, ended (forcibly, after
// asking it to stop where the platform allows) when the object goes.
class ChildProcess {
  public:
    ChildProcess(const std::vector<std::string> &argv, const std::string &log_path);
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    bool started() const { return started_; }
    // Whether it still runs.
    bool Running();
    // Asks it to stop, waits up to timeout_seconds, then kills it. Returns
    // its exit code, or -1 when it had to be killed.
    int Stop(double timeout_seconds);

  private:
    bool started_ = false;
    bool ended_ = false;
    int exit_code_ = -1;
#if defined(_WIN32)
    void *process_ = nullptr;
#else
    int pid_ = -1;
#endif
};

// A fresh, empty directory under the system's temporary folder.
std::string MakeTempDir(const std::string &stem);
// Removes a directory tree, ignoring what cannot be removed.
void RemoveTree(const std::string &path);

} // namespace vex::test
