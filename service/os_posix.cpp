#include "service/os.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

namespace taskd::os {
namespace {

std::string Why(const std::string &what, const std::string &path, int err) {
    return what + " " + path + ": " + std::strerror(err);
}

bool WriteAll(int fd, const char *data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string FolderOf(const std::string &path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Self-pipe: the signal handler may only write a byte, the signal's number.
int g_shutdown_pipe[2] = {-1, -1};
std::atomic<bool> g_shutdown{false};
std::atomic<bool> g_reload{false};

extern "C" void OnShutdownSignal(int sig) {
    const int saved = errno;
    const char byte = static_cast<char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(g_shutdown_pipe[1], &byte, 1);
    errno = saved;
}

// A handler rather than SIG_IGN: a caught signal is reset to its default in
// the programs the service starts, an ignored one would stay ignored there.
extern "C" void OnHarmlessSignal(int) {}

class FlockFolderLock final : public FolderLock {
  public:
    explicit FlockFolderLock(int fd) : fd_(fd) {}
    ~FlockFolderLock() override { ::close(fd_); }

  private:
    int fd_;
};

} // namespace

namespace {

constexpr std::size_t kMaxFileBytes = 64u << 20;

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

std::string OwnerName(uid_t uid) { return UserName(static_cast<std::uint32_t>(uid)) + " (" + std::to_string(uid) + ")"; }

// Why a folder or file of these attributes may not be trusted by the service,
// with the fix, or an empty string.
std::string PrivacyProblem(const struct stat &st, const std::string &path, bool folder) {
    const uid_t self = ::geteuid();
    const char *what = folder ? "the state folder " : "the file ";
    if (st.st_uid != self)
        return std::string(what) + path + " is owned by user " + OwnerName(st.st_uid) + ", not by the service's user " +
               OwnerName(self) + "; give it to the service's user (chown " + std::to_string(self) + " " + path +
               ") or choose another --state-dir";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return std::string(what) + path + " is writable by its group or by others; take that away (chmod go-w " +
               path + ")";
    return {};
}

// Opens name in the folder dirfd: never through a symbolic link, never
// blocking on a FIFO or a device, and only a regular file. -1 and *err (an
// errno value; EINVAL for a file of another kind) on failure.
int OpenRegular(int dirfd, const std::string &name, int flags, int *err, mode_t mode = 0600) {
    const int fd = ::openat(dirfd, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, mode);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *err = EINVAL;
        return -1;
    }
    // Blocking again for what follows: a regular file never waits anyway.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

std::string OpenWhy(const std::string &what, const std::string &path, int err) {
    if (err == ELOOP) return what + " " + path + ": it is a symbolic link, which the service does not follow";
    if (err == EINVAL) return what + " " + path + ": it is not a regular file";
    return Why(what, path, err);
}

// A folder opened from dirfd (or a path when dirfd is AT_FDCWD), created 0700
// when missing.
int OpenFolderAt(int dirfd, const std::string &name, bool follow, std::string *why, const std::string &path) {
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
    int fd = ::openat(dirfd, name.c_str(), flags);
    if (fd < 0 && errno == ENOENT) {
        if (::mkdirat(dirfd, name.c_str(), 0700) != 0 && errno != EEXIST) {
            *why = Why("cannot create the folder", path, errno);
            return -1;
        }
        fd = ::openat(dirfd, name.c_str(), flags);
    }
    if (fd < 0) {
        *why = errno == ELOOP || errno == ENOTDIR
                   ? "the folder " + path + " is not a folder (or is a symbolic link, which the service does not follow)"
                   : Why("cannot open the folder", path, errno);
        return -1;
    }
    return fd;
}

} // namespace

std::unique_ptr<Folder> Folder::Open(const std::string &path, bool private_only, std::string *why) {
    // The folders above it are made as usual; the folder itself is private.
    const std::string parent = FolderOf(path);
    if (parent != "." && parent != "/") {
        std::error_code ec;
        std::filesystem::create_directories(parent, ec);
        if (ec) {
            *why = "cannot create the folder " + parent + ": " + ec.message();
            return nullptr;
        }
    }
    // The configured path may be a link its administrator made; what it
    // leads to must be the service's own.
    const int fd = OpenFolderAt(AT_FDCWD, path, true, why, path);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        *why = Why("cannot examine the folder", path, errno);
        ::close(fd);
        return nullptr;
    }
    if (private_only) {
        if (std::string problem = PrivacyProblem(st, path, true); !problem.empty()) {
            *why = problem;
            ::close(fd);
            return nullptr;
        }
    }
    return std::unique_ptr<Folder>(new Folder(path, fd));
}

Folder::~Folder() { ::close(Fd(handle_)); }

std::unique_ptr<Folder> Folder::Sub(const std::string &name, std::string *why) const {
    const std::string path = path_ + "/" + name;
    const int fd = OpenFolderAt(Fd(handle_), name, false, why, path);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        *why = Why("cannot examine the folder", path, errno);
        ::close(fd);
        return nullptr;
    }
    if (std::string problem = PrivacyProblem(st, path, true); !problem.empty()) {
        *why = problem;
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<Folder>(new Folder(path, fd));
}

std::string Folder::Read(const std::string &name, std::string *contents, bool *missing) const {
    *missing = false;
    contents->clear();
    const std::string path = path_ + "/" + name;
    int err = 0;
    const int fd = OpenRegular(Fd(handle_), name, O_RDONLY, &err);
    if (fd < 0) {
        *missing = err == ENOENT;
        return OpenWhy("cannot open", path, err);
    }
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            const int e = errno;
            ::close(fd);
            return Why("cannot read", path, e);
        }
        contents->append(buf, static_cast<std::size_t>(n));
        if (contents->size() > kMaxFileBytes) {
            ::close(fd);
            contents->clear();
            return "cannot read " + path + ": it is larger than " + std::to_string(kMaxFileBytes >> 20) + " MiB";
        }
    }
    ::close(fd);
    return {};
}

std::string Folder::WriteDurably(const std::string &name, const std::string &contents) const {
    const int dir = Fd(handle_);
    // A name nobody could have prepared: created exclusively, a planted file
    // of any kind is never opened.
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 8; ++attempt) {
        char tag[16];
        std::snprintf(tag, sizeof tag, "%08x", RandomU32());
        temp = "." + name + "." + tag + ".tmp";
        fd = ::openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return Why("cannot create", path_ + "/" + temp, errno);
    const auto fail = [&](const char *what) {
        const int err = errno;
        ::close(fd);
        ::unlinkat(dir, temp.c_str(), 0);
        return Why(what, path_ + "/" + temp, err);
    };
    if (!WriteAll(fd, contents.data(), contents.size())) return fail("cannot write");
    if (::fsync(fd) != 0) return fail("cannot flush");
    ::close(fd);
    if (::renameat(dir, temp.c_str(), dir, name.c_str()) != 0) {
        const int err = errno;
        ::unlinkat(dir, temp.c_str(), 0);
        return Why("cannot rename over", path_ + "/" + name, err);
    }
    // The rename itself lives in the folder: flush it too.
    if (::fsync(dir) != 0) return Why("cannot flush the folder of", path_ + "/" + name, errno);
    return {};
}

std::string Folder::CheckPrivateFile(const std::string &name) const {
    struct stat st {};
    if (::fstatat(Fd(handle_), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return {};
    const std::string path = path_ + "/" + name;
    if (!S_ISREG(st.st_mode)) return "the file " + path + " is not a regular file; move it away";
    return PrivacyProblem(st, path, false);
}

std::unique_ptr<FolderLock> Folder::Lock(std::string *why) const {
    const std::string path = path_ + "/taskd.lock";
    int err = 0;
    const int fd = OpenRegular(Fd(handle_), "taskd.lock", O_RDWR | O_CREAT, &err);
    if (fd < 0) {
        *why = OpenWhy("cannot open", path, err);
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *why = errno == EWOULDBLOCK ? "another service already uses the state folder " + path_
                                    : Why("cannot lock", path, errno);
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<FlockFolderLock>(fd);
}

int Folder::OpenAppend(const std::string &name, std::string *why) const {
    int err = 0;
    const int fd = OpenRegular(Fd(handle_), name, O_WRONLY | O_APPEND | O_CREAT, &err);
    if (fd < 0) *why = OpenWhy("cannot open", path_ + "/" + name, err);
    return fd;
}

void Folder::CapLogs(std::uint64_t cap) const {
    const int copy = ::dup(Fd(handle_));
    if (copy < 0) return;
    DIR *d = ::fdopendir(copy);
    if (d == nullptr) {
        ::close(copy);
        return;
    }
    ::rewinddir(d);
    std::vector<std::string> full;
    while (const dirent *e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() < 5 || name.compare(name.size() - 4, 4, ".log") != 0) continue;
        struct stat st {};
        if (::fstatat(Fd(handle_), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            static_cast<std::uint64_t>(st.st_size) > cap)
            full.push_back(name);
    }
    ::closedir(d);
    for (const std::string &name : full) {
        int err = 0;
        const int fd = OpenRegular(Fd(handle_), name, O_RDWR, &err);
        if (fd < 0) continue;
        std::string text;
        char buf[65536];
        ssize_t n;
        while (text.size() <= kMaxFileBytes && (n = ::read(fd, buf, sizeof buf)) > 0)
            text.append(buf, static_cast<std::size_t>(n));
        // The newest part is kept when the file outgrew the copy's bound.
        if (text.size() > cap) text.erase(0, text.size() - static_cast<std::size_t>(cap));
        int out_err = 0;
        const std::string older = name + ".1";
        ::unlinkat(Fd(handle_), older.c_str(), 0);
        const int out = OpenRegular(Fd(handle_), older, O_WRONLY | O_CREAT | O_EXCL, &out_err);
        if (out >= 0) {
            WriteAll(out, text.data(), text.size());
            ::close(out);
        }
        [[maybe_unused]] const int rc = ::ftruncate(fd, 0);
        ::close(fd);
    }
}

void CloseDescriptor(int fd) {
    if (fd >= 0) ::close(fd);
}

std::uint32_t RandomU32() {
    std::uint32_t v = 0;
    auto *p = reinterpret_cast<unsigned char *>(&v);
    std::size_t got = 0;
    while (got < sizeof v) {
        const ssize_t n = ::getrandom(p + got, sizeof v - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::abort(); // no randomness: no safe token can be made
        }
        got += static_cast<std::size_t>(n);
    }
    return v;
}

std::string NodeName() {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) return "localhost";
    return host;
}

std::optional<std::uint32_t> CurrentUserId() { return static_cast<std::uint32_t>(::geteuid()); }

std::optional<std::uint32_t> LookupUserId(const std::string &name_or_number) {
    if (name_or_number.empty()) return std::nullopt;
    if (name_or_number.find_first_not_of("0123456789") == std::string::npos) {
        if (name_or_number.size() > 10) return std::nullopt;
        const unsigned long long v = std::strtoull(name_or_number.c_str(), nullptr, 10);
        if (v > 0xFFFFFFFFull) return std::nullopt;
        return static_cast<std::uint32_t>(v);
    }
    std::vector<char> buf(16384);
    passwd pw{};
    passwd *found = nullptr;
    if (::getpwnam_r(name_or_number.c_str(), &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr)
        return std::nullopt;
    return static_cast<std::uint32_t>(found->pw_uid);
}

std::string UserName(std::uint32_t user_id) {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd *found = nullptr;
    if (::getpwuid_r(static_cast<uid_t>(user_id), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr)
        return found->pw_name;
    return std::to_string(user_id);
}

std::string DefaultStateDir(const std::string &suffix) {
    const std::string leaf = suffix.empty() ? "default" : suffix;
    if (::geteuid() == 0) return "/var/lib/tidewell-taskd/" + leaf;
    if (const char *state = std::getenv("XDG_STATE_HOME"); state != nullptr && state[0] == '/')
        return std::string(state) + "/tidewell-taskd/" + leaf;
    if (const char *home = std::getenv("HOME"); home != nullptr && home[0] == '/')
        return std::string(home) + "/.local/state/tidewell-taskd/" + leaf;
    return "tidewell-taskd-state/" + leaf;
}

void InstallShutdownHandler() {
    if (g_shutdown_pipe[0] >= 0) return;
    if (::pipe2(g_shutdown_pipe, O_CLOEXEC | O_NONBLOCK) != 0) std::abort();
    struct sigaction sa {};
    sa.sa_handler = OnShutdownSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
    // A log write to a closed stream then fails with EPIPE instead of ending
    // the service; user signals and the terminal's stop key do nothing.
    struct sigaction harmless {};
    harmless.sa_handler = OnHarmlessSignal;
    sigemptyset(&harmless.sa_mask);
    harmless.sa_flags = SA_RESTART;
    for (const int sig : {SIGPIPE, SIGUSR1, SIGUSR2, SIGTSTP}) ::sigaction(sig, &harmless, nullptr);
    // Blocked, not caught: a caught SIGTTOU would make a background write to
    // the terminal retry for ever, a blocked one lets it through (SIGTTIN: the
    // read fails). Every thread started later inherits the mask; children
    // clear it before they run their program.
    sigset_t tty;
    sigemptyset(&tty);
    sigaddset(&tty, SIGTTIN);
    sigaddset(&tty, SIGTTOU);
    ::pthread_sigmask(SIG_BLOCK, &tty, nullptr);
}

bool WaitForShutdown(std::chrono::milliseconds timeout) {
    if (g_shutdown.load()) return true;
    if (g_shutdown_pipe[0] < 0) InstallShutdownHandler();
    pollfd p{g_shutdown_pipe[0], POLLIN, 0};
    const int rc = ::poll(&p, 1, static_cast<int>(timeout.count()));
    if (rc > 0) {
        char byte = 0;
        while (::read(g_shutdown_pipe[0], &byte, 1) > 0) {
            if (byte == SIGHUP)
                g_reload.store(true);
            else
                g_shutdown.store(true);
        }
    }
    return g_shutdown.load();
}

bool TakeReloadRequest() { return g_reload.exchange(false); }

std::string RedirectLogTo(const std::string &path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0640);
    if (fd < 0) return Why("cannot open", path, errno);
    // dup2 replaces stderr in one step: no log line is lost or half written.
    const int rc = ::dup2(fd, STDERR_FILENO);
    const int err = errno;
    ::close(fd);
    if (rc < 0) return Why("cannot write the log to", path, err);
    return {};
}

void RequestShutdown() {
    if (g_shutdown_pipe[0] < 0) InstallShutdownHandler();
    OnShutdownSignal(SIGTERM);
}

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

} // namespace taskd::os
