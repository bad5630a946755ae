// The reference service, tidewell-taskd, as a child process of a test or a
// benchmark (POSIX): its own temporary state folder and a suffix unique to
// the caller, readiness by polling its pipe through the library, stopped or
// killed by its process id.
#pragma once

#include <string>
#include <vector>

namespace vex::test {

class ServiceProcess {
  public:
    // Starts program with --suffix, --state-dir and extra; its output goes to
    // a log file in the state folder.
    ServiceProcess(const std::string &program, const std::string &stem, const std::vector<std::string> &extra = {});
    // Starts program again on the suffix and state folder of an earlier
    // service that has ended; the folder stays the earlier one's to remove.
    ServiceProcess(const std::string &program, const ServiceProcess &earlier, const std::vector<std::string> &extra = {});
    // Stops it (if it still runs) and removes its state folder.
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess &) = delete;
    ServiceProcess &operator=(const ServiceProcess &) = delete;

    const std::string &suffix() const { return suffix_; }
    int pid() const { return pid_; }
    // The temporary folder that holds its state folder and its log.
    const std::string &folder() const { return dir_; }
    // Polls the pipe until an exchange completes, at most seconds. False when
    // the service ended or never answered.
    bool WaitReady(double seconds);
    // SIGTERM, up to seconds for the service to end, then SIGKILL. Returns its
    // exit code, 128 + the signal that ended it, or -1 when it was not running.
    int Stop(double seconds);
    // SIGKILL at once; reaped before returning.
    void Kill();
    // What it wrote so far.
    std::string Log() const;

  private:
    void Start(const std::string &program, const std::vector<std::string> &extra);
    int Reap(bool wait);

    std::string suffix_;
    std::string dir_;
    bool owns_dir_ = true;
    int pid_ = -1;
    int exit_status_ = -1;
};

} // namespace vex::test
