#include "service/os.h"

#include <windows.h>
#include <bcrypt.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdlib>

namespace taskd::os {
namespace {

std::string ErrorText(DWORD code) {
    char buf[512] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                             MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buf, sizeof buf, nullptr);
    std::string s(buf, n);
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s.empty() ? "error " + std::to_string(code) : s;
}

std::string Why(const std::string &what, const std::string &path, DWORD code) {
    return what + " " + path + ": " + ErrorText(code);
}

HANDLE g_stop_event = nullptr;

BOOL WINAPI OnConsoleControl(DWORD kind) {
    switch (kind) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        if (g_stop_event != nullptr) SetEvent(g_stop_event);
        return TRUE;
    default: return FALSE;
    }
}

class FileFolderLock final : public FolderLock {
  public:
    explicit FileFolderLock(HANDLE h) : h_(h) {}
    ~FileFolderLock() override { CloseHandle(h_); }

  private:
    HANDLE h_;
};

} // namespace

std::string WriteFileDurably(const std::string &path, const std::string &contents) {
    const std::string temp = path + ".tmp";
    HANDLE h = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return Why("cannot create", temp, GetLastError());
    DWORD put = 0;
    const bool written = WriteFile(h, contents.data(), static_cast<DWORD>(contents.size()), &put, nullptr) &&
                         put == contents.size();
    const DWORD write_error = GetLastError();
    const bool flushed = written && FlushFileBuffers(h);
    const DWORD flush_error = GetLastError();
    CloseHandle(h);
    if (!written || !flushed) {
        DeleteFileA(temp.c_str());
        return written ? Why("cannot flush", temp, flush_error) : Why("cannot write", temp, write_error);
    }
    // Write-through: the rename is on the disk when the call returns.
    if (!MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD e = GetLastError();
        DeleteFileA(temp.c_str());
        return Why("cannot rename over", path, e);
    }
    return {};
}

std::string ReadWholeFile(const std::string &path, std::string *contents, bool *missing) {
    *missing = false;
    contents->clear();
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        *missing = e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
        return Why("cannot open", path, e);
    }
    char buf[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(h, buf, sizeof buf, &got, nullptr)) {
            const DWORD e = GetLastError();
            CloseHandle(h);
            return Why("cannot read", path, e);
        }
        if (got == 0) break;
        contents->append(buf, got);
    }
    CloseHandle(h);
    return {};
}

std::unique_ptr<FolderLock> LockFolder(const std::string &dir, std::string *why) {
    const std::string path = dir + "\\taskd.lock";
    // No sharing: a second service cannot open the file while we hold it.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        *why = e == ERROR_SHARING_VIOLATION ? "another service already uses the state folder " + dir
                                            : Why("cannot lock", path, e);
        return nullptr;
    }
    return std::make_unique<FileFolderLock>(h);
}

std::uint32_t RandomU32() {
    std::uint32_t v = 0;
    if (BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&v), sizeof v, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
        std::abort(); // no randomness: no safe token can be made
    return v;
}

std::string NodeName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) return "localhost";
    return std::string(name, size);
}

std::optional<std::uint32_t> CurrentUserId() { return std::nullopt; }
std::optional<std::uint32_t> LookupUserId(const std::string &) { return std::nullopt; }
std::string UserName(std::uint32_t user_id) { return std::to_string(user_id); }

std::string DefaultStateDir(const std::string &suffix) {
    const std::string leaf = suffix.empty() ? "default" : suffix;
    char base[MAX_PATH] = {};
    DWORD n = GetEnvironmentVariableA("LOCALAPPDATA", base, sizeof base);
    if (n == 0 || n >= sizeof base) n = GetEnvironmentVariableA("ProgramData", base, sizeof base);
    if (n == 0 || n >= sizeof base) return "tidewell-taskd-state\\" + leaf;
    return std::string(base, n) + "\\Tidewell\\taskd\\" + leaf;
}

void InstallShutdownHandler() {
    if (g_stop_event != nullptr) return;
    // Named after the process id, so that a supervisor without a console
    // (or a test) can ask for a clean stop: SetEvent on
    // "TidewellTaskdStop_<pid>".
    const std::string name = "TidewellTaskdStop_" + std::to_string(GetCurrentProcessId());
    g_stop_event = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    if (g_stop_event == nullptr) std::abort();
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool WaitForShutdown(std::chrono::milliseconds timeout) {
    if (g_stop_event == nullptr) InstallShutdownHandler();
    return WaitForSingleObject(g_stop_event, static_cast<DWORD>(timeout.count())) == WAIT_OBJECT_0;
}

bool TakeReloadRequest() { return false; }

std::string RedirectLogTo(const std::string &path) {
    const int fd = _open(path.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    if (fd < 0) return "cannot open " + path;
    const int rc = _dup2(fd, 2);
    _close(fd);
    if (rc != 0) return "cannot write the log to " + path;
    return {};
}

void RequestShutdown() {
    if (g_stop_event == nullptr) InstallShutdownHandler();
    SetEvent(g_stop_event);
}

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(GetCurrentProcessId()); }

} // namespace taskd::os
