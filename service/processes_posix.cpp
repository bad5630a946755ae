#include "service/processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

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

int ExitCodeOf(int st) { return WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : 1; }

// The children the service started and has not reaped, with their exit codes
// once collected. Orphans handed to a subreaper are reaped in the same pass,
// so one waitpid(-1) never takes the exit of a tracked child from its owner.
struct Registry {
    std::mutex mu;
    std::map<pid_t, std::optional<int>> tracked;
    bool reap_all = false;
};

Registry &Children() {
    static Registry r;
    return r;
}

void ReapLocked(Registry &r) {
    if (r.reap_all) {
        for (;;) {
            int st = 0;
            const pid_t p = ::waitpid(-1, &st, WNOHANG);
            if (p < 0 && errno == EINTR) continue;
            if (p <= 0) break;
            if (const auto it = r.tracked.find(p); it != r.tracked.end()) it->second = ExitCodeOf(st);
        }
        return;
    }
    for (auto &[pid, code] : r.tracked) {
        if (code) continue;
        int st = 0;
        pid_t p;
        do {
            p = ::waitpid(pid, &st, WNOHANG);
        } while (p < 0 && errno == EINTR);
        if (p == pid) code = ExitCodeOf(st);
        else if (p < 0) code = -1; // reaped elsewhere: ended, with no code to tell
    }
}

// Field 22 of /proc/<pid>/stat and the state letter; false when the process
// does not exist.
bool ReadStat(pid_t pid, std::uint64_t *start_time, char *state) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[1024];
    const ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0) return false;
    buf[n] = 0;
    // The command name may hold anything, ')' too: fields start after the last.
    const char *p = std::strrchr(buf, ')');
    if (p == nullptr || p[1] != ' ') return false;
    p += 2;
    *state = *p;
    for (int field = 3; field < 22; ++field) {
        p = std::strchr(p, ' ');
        if (p == nullptr) return false;
        ++p;
    }
    *start_time = std::strtoull(p, nullptr, 10);
    return true;
}

// Field 5 of /proc/<pid>/stat, or -1.
pid_t GroupOf(const char *pid_text, char *state) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%s/stat", pid_text);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char buf[1024];
    const ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0) return -1;
    buf[n] = 0;
    const char *p = std::strrchr(buf, ')');
    int ppid = 0, pgrp = 0;
    if (p == nullptr || std::sscanf(p + 1, " %c %d %d", state, &ppid, &pgrp) != 3) return -1;
    return static_cast<pid_t>(pgrp);
}

// Whether a process of the group still runs. A zombie does not count: where
// init does not reap promptly, a dead member would hold a stop for nothing.
bool GroupExists(pid_t pgid) {
    if (::kill(-pgid, 0) != 0 && errno != EPERM) return false;
    DIR *d = ::opendir("/proc");
    if (d == nullptr) return true;
    bool alive = false;
    while (const dirent *e = ::readdir(d)) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
        char state = 0;
        if (GroupOf(e->d_name, &state) == pgid && state != 'Z' && state != 'X') {
            alive = true;
            break;
        }
    }
    ::closedir(d);
    return alive;
}

class PosixChild final : public ChildProcess {
  public:
    PosixChild(pid_t pid, std::uint64_t start_time) : pid_(pid), start_time_(start_time) {}
    ~PosixChild() override {
        // Whoever drops a running child has stopped it first; a subreaper
        // reaps what is left later, otherwise it is reaped here if it can be.
        int code = 0;
        Running(&code);
        Registry &r = Children();
        std::lock_guard<std::mutex> lock(r.mu);
        r.tracked.erase(pid_);
    }

    std::uint32_t pid() const override { return static_cast<std::uint32_t>(pid_); }
    std::uint64_t start_time() const override { return start_time_; }

    bool Running(int *exit_code) override {
        if (!exited_) {
            Registry &r = Children();
            std::lock_guard<std::mutex> lock(r.mu);
            ReapLocked(r);
            const auto it = r.tracked.find(pid_);
            if (it == r.tracked.end() || it->second) {
                exited_ = true;
                exit_code_ = it != r.tracked.end() ? *it->second : -1;
                if (it != r.tracked.end()) r.tracked.erase(it);
            }
        }
        if (!exited_) return true;
        *exit_code = exit_code_;
        return false;
    }

    bool GroupAlive() override {
        int code = 0;
        // Its zombie orphans are reaped first, so that they do not count.
        if (Running(&code)) return true;
        return GroupExists(pid_);
    }

    void Terminate() override { Signal(SIGTERM); }
    void Kill() override { Signal(SIGKILL); }

  private:
    void Signal(int sig) {
        // The whole process group: what the program started goes too, also
        // after the program itself has ended. Until it is reaped its id
        // cannot be reused, nor the group's while the group has a member.
        if (::kill(-pid_, sig) != 0 && !exited_) ::kill(pid_, sig);
    }

    pid_t pid_;
    std::uint64_t start_time_;
    bool exited_ = false;
    int exit_code_ = 0;
};

int PidfdOpen(pid_t pid) {
#if defined(SYS_pidfd_open)
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

bool PidfdSignal(int pidfd, int sig) {
#if defined(SYS_pidfd_send_signal)
    return ::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0) == 0;
#else
    (void)pidfd;
    (void)sig;
    return false;
#endif
}

// A process started by an earlier run of the service: not its child, so its
// end is seen through its pidfd (or its /proc entry and start time) and its
// exit code is not known.
class AdoptedChild final : public ChildProcess {
  public:
    AdoptedChild(pid_t pid, std::uint64_t start_time, int pidfd) : pid_(pid), start_time_(start_time), pidfd_(pidfd) {}
    ~AdoptedChild() override {
        if (pidfd_ >= 0) ::close(pidfd_);
    }

    std::uint32_t pid() const override { return static_cast<std::uint32_t>(pid_); }
    std::uint64_t start_time() const override { return start_time_; }

    bool Running(int *exit_code) override {
        if (!exited_ && !Alive()) exited_ = true;
        if (!exited_) return true;
        *exit_code = -1;
        return false;
    }
    bool GroupAlive() override {
        int code = 0;
        if (Running(&code)) return true;
        ReapOrphans();
        return GroupExists(pid_);
    }
    void Terminate() override { Signal(SIGTERM); }
    void Kill() override { Signal(SIGKILL); }

  private:
    bool Alive() const {
        if (pidfd_ >= 0) {
            pollfd p{pidfd_, POLLIN, 0};
            return ::poll(&p, 1, 0) == 0; // readable once it has exited
        }
        std::uint64_t start = 0;
        char state = 0;
        return ReadStat(pid_, &start, &state) && start == start_time_ && state != 'Z';
    }
    void Signal(int sig) {
        int code = 0;
        if (Running(&code)) {
            // The process itself by its pidfd: never another one of its id.
            if (pidfd_ >= 0) PidfdSignal(pidfd_, sig);
            // Without one the start time was checked just now.
            else ::kill(pid_, sig);
        }
        // Its group keeps the id reserved while it has a member.
        ::kill(-pid_, sig);
    }

    pid_t pid_;
    std::uint64_t start_time_;
    int pidfd_;
    bool exited_ = false;
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
    const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const int out_fd = launch.output_fd >= 0 ? launch.output_fd : null_fd;

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        *why = std::string("cannot create a pipe: ") + std::strerror(errno);
        *code = Win32FromErrno(errno);
        if (null_fd >= 0) ::close(null_fd);
        return nullptr;
    }
    // The registry is held across the fork, so that the child is tracked
    // before anybody can reap it.
    Registry &children = Children();
    std::unique_lock<std::mutex> tracking(children.mu);
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
        // An ignored signal stays ignored across exec: the program gets the
        // defaults whatever the service ignores.
        for (const int sig : {SIGPIPE, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGTSTP, SIGTTIN, SIGTTOU})
            ::signal(sig, SIG_DFL);
        if (null_fd >= 0) ::dup2(null_fd, 0);
        if (out_fd >= 0) {
            ::dup2(out_fd, 1);
            ::dup2(out_fd, 2);
        }
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
    children.tracked[pid] = std::nullopt;
    tracking.unlock();
    // Also set from this side, so that signalling the group works even
    // before the child has run.
    ::setpgid(pid, pid);
    std::uint64_t start_time = 0;
    char state = 0;
    ReadStat(pid, &start_time, &state);
    ::close(report[1]);
    if (null_fd >= 0) ::close(null_fd);
    ChildFailure failure{};
    ssize_t got;
    do {
        got = ::read(report[0], &failure, sizeof failure);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    if (got == 0) return std::make_unique<PosixChild>(pid, start_time); // the program runs

    // It ends at once (_exit after the report); its destructor reaps it.
    {
        PosixChild failed(pid, start_time);
        int exit_code = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (failed.Running(&exit_code) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
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

std::unique_ptr<ChildProcess> Adopt(std::uint32_t pid_word, std::uint64_t start_time) {
    const auto pid = static_cast<pid_t>(pid_word);
    if (pid <= 1) return nullptr;
    // The pidfd first, then the start time: if the process it names is the
    // one that started then and has not exited since, it is that process.
    const int pidfd = PidfdOpen(pid);
    std::uint64_t start = 0;
    char state = 0;
    if (!ReadStat(pid, &start, &state) || start != start_time || state == 'Z') {
        if (pidfd >= 0) ::close(pidfd);
        return nullptr;
    }
    auto child = std::make_unique<AdoptedChild>(pid, start_time, pidfd);
    int code = 0;
    if (!child->Running(&code)) return nullptr;
    return child;
}

std::string BecomeSubreaper() {
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0)
        return std::string("cannot become the reaper of orphaned children: ") + std::strerror(errno);
    Registry &r = Children();
    std::lock_guard<std::mutex> lock(r.mu);
    r.reap_all = true;
    return {};
}

void ReapOrphans() {
    Registry &r = Children();
    std::lock_guard<std::mutex> lock(r.mu);
    ReapLocked(r);
}

} // namespace taskd
