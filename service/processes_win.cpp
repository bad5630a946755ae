#include "service/processes.h"

#include <windows.h>

namespace taskd {
namespace {

DWORD ClassOf(Priority p) {
    switch (p) {
    case Priority::Idle: return IDLE_PRIORITY_CLASS;
    case Priority::BelowNormal: return BELOW_NORMAL_PRIORITY_CLASS;
    case Priority::Normal: return NORMAL_PRIORITY_CLASS;
    case Priority::AboveNormal: return ABOVE_NORMAL_PRIORITY_CLASS;
    case Priority::High: return HIGH_PRIORITY_CLASS;
    }
    return NORMAL_PRIORITY_CLASS;
}

std::string ErrorText(DWORD code) {
    char buf[512] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                             MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buf, sizeof buf, nullptr);
    std::string s(buf, n);
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s.empty() ? "error " + std::to_string(code) : s;
}

std::uint64_t CreationTime(HANDLE process) {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

class WinChild final : public ChildProcess {
  public:
    WinChild(HANDLE process, DWORD pid) : h_(process), pid_(pid), start_time_(CreationTime(process)) {}
    ~WinChild() override { CloseHandle(h_); }

    std::uint32_t pid() const override { return pid_; }
    std::uint64_t start_time() const override { return start_time_; }

    bool Running(int *exit_code) override {
        if (WaitForSingleObject(h_, 0) == WAIT_TIMEOUT) return true;
        DWORD code = 0;
        GetExitCodeProcess(h_, &code);
        *exit_code = static_cast<int>(code);
        return false;
    }

    // The child has a process group of its own, so Ctrl-Break reaches it and
    // what it started, not the service.
    void Terminate() override { GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, pid_); }
    void Kill() override { TerminateProcess(h_, 1); }

  private:
    HANDLE h_;
    DWORD pid_;
    std::uint64_t start_time_;
};

} // namespace

std::unique_ptr<ChildProcess> Launch(const LaunchSpec &launch, std::string *why, std::uint32_t *code) {
    if (SplitCommandLine(launch.command_line).empty()) {
        *why = "the command line names no program";
        *code = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    std::string line = launch.command_line; // CreateProcessA may write into it
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    // Suspended: affinity and priority are in place before the first
    // instruction runs.
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP,
                        nullptr, launch.working_dir.empty() ? nullptr : launch.working_dir.c_str(), &si, &pi)) {
        *code = GetLastError();
        *why = "cannot run the program: " + ErrorText(*code);
        return nullptr;
    }
    const char *failed = nullptr;
    if (launch.affinity != 0 && !SetProcessAffinityMask(pi.hProcess, static_cast<DWORD_PTR>(launch.affinity)))
        failed = "cannot set the processor affinity";
    else if (launch.priority && !SetPriorityClass(pi.hProcess, ClassOf(*launch.priority)))
        failed = "cannot set the priority";
    if (failed != nullptr) {
        *code = GetLastError();
        *why = std::string(failed) + ": " + ErrorText(*code);
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, 5000);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        return nullptr;
    }
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    return std::make_unique<WinChild>(pi.hProcess, pi.dwProcessId);
}

std::unique_ptr<ChildProcess> Adopt(std::uint32_t pid, std::uint64_t start_time) {
    // The handle holds the process: its id cannot name another one while it
    // is open, and the creation time tells whether it is the same one.
    HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (h == nullptr) return nullptr;
    if (CreationTime(h) != start_time || WaitForSingleObject(h, 0) != WAIT_TIMEOUT) {
        CloseHandle(h);
        return nullptr;
    }
    return std::make_unique<WinChild>(h, pid);
}

// Windows keeps no zombies: a process handle is all the service holds.
std::string BecomeSubreaper() { return {}; }
void ReapOrphans() {}

} // namespace taskd
