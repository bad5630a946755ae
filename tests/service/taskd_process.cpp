#include "tests/service/taskd_process.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/service/test_files.h"
#include "vexsrvapi.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace taskd::test {
namespace {

using Clock = std::chrono::steady_clock;

std::string UniqueSuffix() {
    static std::atomic<int> counter{0};
    return "e2e" + std::to_string(OwnPid()) + "_" + std::to_string(counter++);
}

std::string ServiceProgram() {
#if defined(_WIN32)
    return (std::filesystem::path(ProgramDir()) / "tidewell-taskd.exe").string();
#else
    return (std::filesystem::path(ProgramDir()) / "tidewell-taskd").string();
#endif
}

#if defined(_WIN32)
std::string Quoted(const std::string &arg) {
    std::string quoted = "\"";
    quoted += arg;
    quoted += '"';
    return quoted;
}
#endif

} // namespace

TaskdProcess::TaskdProcess(std::vector<std::string> extra_args, std::string state_dir, std::string suffix)
    : suffix_(suffix.empty() ? UniqueSuffix() : std::move(suffix)), state_dir_(std::move(state_dir)) {
    if (state_dir_.empty()) {
        state_dir_ = NewTempDir("state");
        own_state_dir_ = true;
    }
    log_path_ = (std::filesystem::path(state_dir_).parent_path() / ("taskd-" + suffix_ + ".log")).string();
    std::vector<std::string> args = {ServiceProgram(), "--suffix", suffix_, "--state-dir", state_dir_};
    args.insert(args.end(), extra_args.begin(), extra_args.end());

#if defined(_WIN32)
    std::string line;
    for (const std::string &a : args) {
        if (!line.empty()) line += ' ';
        line += Quoted(a);
    }
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE log = CreateFileA(log_path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = log;
    si.hStdError = log;
    PROCESS_INFORMATION pi{};
    const BOOL ok = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(log);
    if (!ok) return;
    CloseHandle(pi.hThread);
    process_ = pi.hProcess;
    pid_ = pi.dwProcessId;
#else
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int log = ::open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(log, 1);
        ::dup2(log, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(log);
    if (pid < 0) return;
    pid_ = static_cast<std::uint32_t>(pid);
#endif
    ready_ = WaitReady();
}

TaskdProcess::~TaskdProcess() {
    Stop();
    std::error_code ec;
    std::filesystem::remove(log_path_, ec);
    if (own_state_dir_) std::filesystem::remove_all(state_dir_, ec);
#if defined(_WIN32)
    if (process_ != nullptr) CloseHandle(static_cast<HANDLE>(process_));
#endif
}

std::string TaskdProcess::log() const { return ReadFile(log_path_); }

bool TaskdProcess::WaitReady() {
    // A cheap request, repeated until it is answered; bounded, and given up
    // as soon as the service has ended.
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    auto pause = std::chrono::milliseconds(5);
    while (Clock::now() < deadline) {
        std::int32_t status = 0, first = 0, second = 0, third = 0;
        char text[64] = {}, message[256] = {};
        if (VexSrv_GetDBVersion(".", suffix_.c_str(), &status, &first, &second, &third, text, sizeof text, message,
                                sizeof message) == 1)
            return true;
        if (!running()) return false;
        std::this_thread::sleep_for(pause);
        if (pause < std::chrono::milliseconds(100)) pause *= 2;
    }
    return false;
}

bool TaskdProcess::running() {
    if (ended_ || pid_ == 0) return false;
    int code = 0;
    return !WaitExit(0, &code);
}

bool TaskdProcess::WaitExit(int timeout_ms, int *exit_code) {
    if (pid_ == 0) return true;
#if defined(_WIN32)
    if (WaitForSingleObject(static_cast<HANDLE>(process_), static_cast<DWORD>(timeout_ms)) != WAIT_OBJECT_0)
        return false;
    DWORD code = 0;
    GetExitCodeProcess(static_cast<HANDLE>(process_), &code);
    *exit_code = static_cast<int>(code);
    ended_ = true;
    return true;
#else
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int st = 0;
        const pid_t r = ::waitpid(static_cast<pid_t>(pid_), &st, WNOHANG);
        if (r == static_cast<pid_t>(pid_)) {
            *exit_code = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            ended_ = true;
            return true;
        }
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
#endif
}

int TaskdProcess::Stop() {
    if (ended_ || pid_ == 0) return -1;
#if defined(_WIN32)
    const std::string name = "TidewellTaskdStop_" + std::to_string(pid_);
    if (HANDLE stop = OpenEventA(EVENT_MODIFY_STATE, FALSE, name.c_str())) {
        SetEvent(stop);
        CloseHandle(stop);
    }
#else
    ::kill(static_cast<pid_t>(pid_), SIGTERM);
#endif
    int code = -1;
    if (WaitExit(60000, &code)) return code;
    Kill();
    return -1;
}

void TaskdProcess::Kill() {
    if (ended_ || pid_ == 0) return;
#if defined(_WIN32)
    TerminateProcess(static_cast<HANDLE>(process_), 137);
#else
    ::kill(static_cast<pid_t>(pid_), SIGKILL);
#endif
    int code = 0;
    WaitExit(60000, &code);
}

} // namespace taskd::test
