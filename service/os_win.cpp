#include "service/os.h"

#include <windows.h>
#include <bcrypt.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

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

namespace {

constexpr std::size_t kMaxFileBytes = 64u << 20;

// Opens path without following a reparse point (a link) and only when it is
// a plain disk file.
HANDLE OpenPlainFile(const std::string &path, DWORD access, DWORD share, DWORD disposition, std::string *why,
                     DWORD *error) {
    HANDLE h = CreateFileA(path.c_str(), access, share, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        *why = Why("cannot open", path, *error);
        return h;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        CloseHandle(h);
        *error = ERROR_INVALID_PARAMETER;
        *why = "cannot open " + path + ": it is not a regular file";
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

} // namespace

std::unique_ptr<Folder> Folder::Open(const std::string &path, bool, std::string *why) {
    // Windows guards the folder with its access lists; only its existence is
    // seen to here.
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) {
        *why = "cannot create the state folder " + path + ": " + ec.message();
        return nullptr;
    }
    return std::unique_ptr<Folder>(new Folder(path, 0));
}

Folder::~Folder() = default;

std::unique_ptr<Folder> Folder::Sub(const std::string &name, std::string *why) const {
    return Open(path_ + "\\" + name, true, why);
}

std::string Folder::Read(const std::string &name, std::string *contents, bool *missing) const {
    *missing = false;
    contents->clear();
    const std::string path = path_ + "\\" + name;
    std::string why;
    DWORD e = 0;
    HANDLE h = OpenPlainFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, &why, &e);
    if (h == INVALID_HANDLE_VALUE) {
        *missing = e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
        return why;
    }
    char buf[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(h, buf, sizeof buf, &got, nullptr)) {
            const DWORD code = GetLastError();
            CloseHandle(h);
            return Why("cannot read", path, code);
        }
        if (got == 0) break;
        contents->append(buf, got);
        if (contents->size() > kMaxFileBytes) {
            CloseHandle(h);
            contents->clear();
            return "cannot read " + path + ": it is larger than 64 MiB";
        }
    }
    CloseHandle(h);
    return {};
}

std::string Folder::WriteDurably(const std::string &name, const std::string &contents) const {
    const std::string path = path_ + "\\" + name;
    std::string temp;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; h == INVALID_HANDLE_VALUE && attempt < 8; ++attempt) {
        temp = path_ + "\\." + name + "." + std::to_string(RandomU32()) + ".tmp";
        // CREATE_NEW: a file planted under that name is never opened.
        h = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
    }
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

std::string Folder::CheckPrivateFile(const std::string &) const { return {}; }

std::unique_ptr<FolderLock> Folder::Lock(std::string *why) const {
    const std::string path = path_ + "\\taskd.lock";
    // No sharing: a second service cannot open the file while we hold it.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        *why = e == ERROR_SHARING_VIOLATION ? "another service already uses the state folder " + path_
                                            : Why("cannot lock", path, e);
        return nullptr;
    }
    return std::make_unique<FileFolderLock>(h);
}

// Children write to the service's own output on Windows.
int Folder::OpenAppend(const std::string &, std::string *why) const {
    *why = "task output files are not kept on this platform";
    return -1;
}

void Folder::CapLogs(std::uint64_t) const {}

void CloseDescriptor(int) {}

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
