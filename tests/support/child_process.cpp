#include "tests/support/child_process.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <system_error>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace vex::test {

namespace {

using Clock = std::chrono::steady_clock;

[[maybe_unused]] Clock::time_point Deadline(double seconds) {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

#if defined(_WIN32)

// One argument quoted for the C runtime's parser of the command line.
std::string Quote(const std::string &arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"')
            out.append(2 * backslashes + 1, '\\');
        else
            out.append(backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, '\\');
    return out + "\"";
}

std::string CommandLine(const std::vector<std::string> &argv) {
    std::string line;
    for (const auto &a : argv) {
        if (!line.empty()) line += ' ';
        line += Quote(a);
    }
    return line;
}

HANDLE OpenNul() {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    return CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0,
                       nullptr);
}

// Reads a pipe to its end on a thread of its own.
std::thread Drain(HANDLE pipe, std::string &into) {
    return std::thread([pipe, &into] {
        char buf[4096];
        DWORD n = 0;
        while (ReadFile(pipe, buf, sizeof buf, &n, nullptr) && n > 0)
            into.append(buf, n);
    });
}

#endif

} // namespace

#if defined(_WIN32)

RunOutput RunProgram(const std::vector<std::string> &argv, double timeout_seconds) {
    RunOutput result;
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE out_read = nullptr, out_write = nullptr, err_read = nullptr, err_write = nullptr;
    if (!CreatePipe(&out_read, &out_write, &sa, 0) || !CreatePipe(&err_read, &err_write, &sa, 0)) return result;
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = OpenNul();

    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nul;
    si.hStdOutput = out_write;
    si.hStdError = err_write;
    PROCESS_INFORMATION pi{};
    std::string line = CommandLine(argv);
    const BOOL started =
        CreateProcessA(argv[0].c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(out_write);
    CloseHandle(err_write);
    CloseHandle(nul);
    if (!started) {
        CloseHandle(out_read);
        CloseHandle(err_read);
        return result;
    }
    std::thread out_thread = Drain(out_read, result.out);
    std::thread err_thread = Drain(err_read, result.err);
    const DWORD wait_ms = static_cast<DWORD>(timeout_seconds * 1000);
    if (WaitForSingleObject(pi.hProcess, wait_ms) != WAIT_OBJECT_0) {
        result.timed_out = true;
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, INFINITE);
    } else {
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        result.exit_code = static_cast<int>(code);
    }
    out_thread.join();
    err_thread.join();
    CloseHandle(out_read);
    CloseHandle(err_read);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return result;
}

ChildProcess::ChildProcess(const std::vector<std::string> &argv, const std::string &log_path) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE log = CreateFileA(log_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE nul = OpenNul();
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nul;
    si.hStdOutput = log;
    si.hStdError = log;
    PROCESS_INFORMATION pi{};
    std::string line = CommandLine(argv);
    started_ = CreateProcessA(argv[0].c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    if (log != INVALID_HANDLE_VALUE) CloseHandle(log);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    if (started_) {
        CloseHandle(pi.hThread);
        process_ = pi.hProcess;
    }
}

bool ChildProcess::Running() {
    if (!started_ || ended_) return false;
    if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) return true;
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    exit_code_ = static_cast<int>(code);
    ended_ = true;
    return false;
}

// Windows has no signal a console program reliably gets from a sibling: the
// helper is ended at once.
int ChildProcess::Stop(double) {
    if (!Running()) return exit_code_;
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, INFINITE);
    ended_ = true;
    exit_code_ = -1;
    return exit_code_;
}

ChildProcess::~ChildProcess() {
    if (!started_) return;
    Stop(0);
    CloseHandle(process_);
}

#else

RunOutput RunProgram(const std::vector<std::string> &argv, double timeout_seconds) {
    RunOutput result;
    int out_pipe[2], err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) return result;
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
        ::close(out_pipe[0]);
        ::close(out_pipe[1]);
        return result;
    }
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int nul = ::open("/dev/null", O_RDONLY);
        ::dup2(nul, 0);
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    if (pid < 0) {
        ::close(out_pipe[0]);
        ::close(err_pipe[0]);
        return result;
    }

    const auto deadline = Deadline(timeout_seconds);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string *into[2] = {&result.out, &result.err};
    int open_fds = 2;
    while (open_fds > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            result.timed_out = true;
            break;
        }
        if (::poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                into[i]->append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    for (auto &f : fds)
        if (f.fd >= 0) ::close(f.fd);
    if (result.timed_out) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!result.timed_out && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    return result;
}

ChildProcess::ChildProcess(const std::vector<std::string> &argv, const std::string &log_path) {
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int nul = ::open("/dev/null", O_RDONLY);
        const int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(nul, 0);
        ::dup2(log, 1);
        ::dup2(log, 2);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    started_ = pid > 0;
    pid_ = pid;
}

bool ChildProcess::Running() {
    if (!started_ || ended_) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == 0) return true;
    ended_ = true;
    exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return false;
}

int ChildProcess::Stop(double timeout_seconds) {
    if (!Running()) return exit_code_;
    ::kill(pid_, SIGTERM);
    const auto deadline = Deadline(timeout_seconds);
    while (Running()) {
        if (Clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            ended_ = true;
            exit_code_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return exit_code_;
}

ChildProcess::~ChildProcess() {
    if (started_) Stop(10);
}

#endif

std::string MakeTempDir(const std::string &stem) {
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    const auto base = std::filesystem::temp_directory_path();
    for (;;) {
        const auto dir = base / (stem + "-" + std::to_string(rd()) + "-" + std::to_string(counter++));
        std::error_code ec;
        if (std::filesystem::create_directory(dir, ec)) return dir.string();
        if (ec) throw std::filesystem::filesystem_error("cannot create a temporary folder", dir, ec);
    }
}

void RemoveTree(const std::string &path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

} // namespace vex::test
