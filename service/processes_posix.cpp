#include "service/processes.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char **environ;

namespace taskd {
namespace {

// Where a child failed before it ran the program.
enum class Step : int { Affinity = 1, Priority, WorkingDir, Exec };

struct ChildFailure {
    int step;
    int err;
};

// Win32 codes for what the start reports, as a Windows service would.
std::uint32_t Win32FromErrno(int err) {
    switch (err) {
    case ENOENT: return 2;
    case ENOTDIR: return 3;
    case EACCES:
    case EPERM: return 5;
    case ENOMEM: return 8;
    case EINVAL: return 87;
    case ENOEXEC: return 193;
    default: return 1;
    }
}

int NiceOf(Priority p) {
    switch (p) {
    case Priority::Idle: return 19;
    case Priority::BelowNormal: return 10;
    case Priority::Normal: return 0;
    case Priority::AboveNormal: return -5;
    case Priority::High: return -10;
    }
    return 0;
}

bool IsExecutableFile(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The program's path: as given when it names a folder, else found on PATH.
std::string ResolveProgram(const std::string &program) {
    if (program.find('/') != std::string::npos) return program;
    const char *path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
        const std::string candidate = dir + "/" + program;
        if (IsExecutableFile(candidate)) return candidate;
        start = end + 1;
    }
    return {};
}

void WriteFailure(int fd, Step step, int err) {
    const ChildFailure f{static_cast<int>(step), err};
    [[maybe_unused]] const ssize_t n = ::write(fd, &f, sizeof f);
}

class PosixChild final : public ChildProcess {
  public:
    explicit PosixChild(pid_t pid) : pid_(pid) {}
    ~PosixChild() override {
        // Never leave a zombie behind: whoever drops a running child has
        // stopped it first; reap what is left.
        int code = 0;
        Running(&code);
    }

    std::uint32_t pid() const override { return static_cast<std::uint32_t>(pid_); }

    bool Running(int *exit_code) override {
        if (exited_) {
            *exit_code = exit_code_;
            return false;
        }
        int st = 0;
        pid_t r;
        do {
            r = ::waitpid(pid_, &st, WNOHANG);
        } while (r < 0 && errno == EINTR);
        if (r == 0) return true;
        exited_ = true;
        if (r == pid_) exit_code_ = WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : 1;
        *exit_code = exit_code_;
        return false;
    }

    void Terminate() override { Signal(SIGTERM); }
    void Kill() override { Signal(SIGKILL); }

  private:
    void Signal(int sig) {
        if (exited_) return;
        // The whole process group: what the program started goes too.
        if (::kill(-pid_, sig) != 0) ::kill(pid_, sig);
    }

    pid_t pid_;
    bool exited_ = false;
    int exit_code_ = 0;
};

} // namespace

std::unique_ptr<ChildProcess> Launch(const LaunchSpec &launch, std::string *why, std::uint32_t *code) {
    std::vector<std::string> args = SplitCommandLine(launch.command_line);
    if (args.empty()) {
        *why = "the command line names no program";
        *code = 87;
        return nullptr;
    }
    const std::string program = ResolveProgram(args[0]);
    if (program.empty() || !IsExecutableFile(program)) {
        *why = "program '" + args[0] + "' not found";
        *code = 2;
        return nullptr;
    }
    // Everything the child needs is prepared here: after fork only
    // async-signal-safe calls are allowed.
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    for (unsigned i = 0; i < 32; ++i)
        if ((launch.affinity >> i) & 1u) CPU_SET(i, &cpus);
    const int nice_value = launch.priority ? NiceOf(*launch.priority) : 0;
    const char *dir = launch.working_dir.empty() ? nullptr : launch.working_dir.c_str();
    const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        *why = std::string("cannot create a pipe: ") + std::strerror(errno);
        *code = Win32FromErrno(errno);
        if (null_fd >= 0) ::close(null_fd);
        return nullptr;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int err = errno;
        ::close(report[0]);
        ::close(report[1]);
        if (null_fd >= 0) ::close(null_fd);
        *why = std::string("cannot start a process: ") + std::strerror(err);
        *code = Win32FromErrno(err);
        return nullptr;
    }
    if (pid == 0) {
        ::setpgid(0, 0);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (null_fd >= 0) ::dup2(null_fd, 0);
        if (launch.affinity != 0 && ::sched_setaffinity(0, sizeof cpus, &cpus) != 0) {
            WriteFailure(report[1], Step::Affinity, errno);
            ::_exit(127);
        }
        if (launch.priority && ::setpriority(PRIO_PROCESS, 0, nice_value) != 0) {
            WriteFailure(report[1], Step::Priority, errno);
            ::_exit(127);
        }
        if (dir != nullptr && ::chdir(dir) != 0) {
            WriteFailure(report[1], Step::WorkingDir, errno);
            ::_exit(127);
        }
        ::execve(program.c_str(), argv.data(), environ);
        WriteFailure(report[1], Step::Exec, errno);
        ::_exit(127);
    }
    // Also set from this side, so that signalling the group works even
    // before the child has run.
    ::setpgid(pid, pid);
    ::close(report[1]);
    if (null_fd >= 0) ::close(null_fd);
    ChildFailure failure{};
    ssize_t got;
    do {
        got = ::read(report[0], &failure, sizeof failure);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    if (got == 0) return std::make_unique<PosixChild>(pid); // the program runs

    int st = 0;
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    const char *what = "cannot run the program";
    switch (static_cast<Step>(failure.step)) {
    case Step::Affinity: what = "cannot set the processor affinity"; break;
    case Step::Priority: what = "cannot set the priority"; break;
    case Step::WorkingDir: what = "cannot enter the working folder"; break;
    case Step::Exec: break;
    }
    *why = std::string(what) + ": " + std::strerror(failure.err);
    *code = Win32FromErrno(failure.err);
    return nullptr;
}

} // namespace taskd
