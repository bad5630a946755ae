#include "service/os.h"

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
#include <cstring>
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

std::string WriteFileDurably(const std::string &path, const std::string &contents) {
    const std::string temp = path + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return Why("cannot create", temp, errno);
    if (!WriteAll(fd, contents.data(), contents.size())) {
        const int err = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        return Why("cannot write", temp, err);
    }
    if (::fsync(fd) != 0) {
        const int err = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        return Why("cannot flush", temp, err);
    }
    ::close(fd);
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        return Why("cannot rename over", path, err);
    }
    // The rename itself lives in the folder: flush it too.
    const int dir = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        const int rc = ::fsync(dir);
        const int err = errno;
        ::close(dir);
        if (rc != 0) return Why("cannot flush the folder of", path, err);
    }
    return {};
}

std::string ReadWholeFile(const std::string &path, std::string *contents, bool *missing) {
    *missing = false;
    contents->clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *missing = errno == ENOENT;
        return Why("cannot open", path, errno);
    }
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            return Why("cannot read", path, err);
        }
        contents->append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return {};
}

std::unique_ptr<FolderLock> LockFolder(const std::string &dir, std::string *why) {
    const std::string path = dir + "/taskd.lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        *why = Why("cannot open", path, errno);
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *why = errno == EWOULDBLOCK ? "another service already uses the state folder " + dir
                                    : Why("cannot lock", path, errno);
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<FlockFolderLock>(fd);
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
