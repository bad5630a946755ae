// Hostile local peers of the service for the Linux tests: silent connections
// held by this process or by a child running as another user. Root only for
// the other user (tests skip without it).
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/local_names.h"
#include "vexsrvapi.h"

namespace taskd::test {

// The user a root test turns into for a refused caller.
constexpr uid_t kStrangerUid = 65534;

// A connection to the service's pipe socket that sends nothing; -1 when the
// connect failed.
inline int ConnectSilently(const std::string &suffix) {
    sockaddr_un addr{};
    socklen_t len = 0;
    vex::platform::posix::AbstractAddress("pipe", "ZEPTAR_" + suffix + "_TSK_REQ", &addr, &len);
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&addr), len) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether the service has not closed the connection (nothing to read, no
// hang-up).
inline bool StillOpen(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
}

// A child as the stranger user that opens count silent connections, then
// makes one call through the library and reports it, and holds its
// connections until the object goes.
class StrangerConnections {
  public:
    struct Report {
        int connected = 0;
        std::int32_t ok = -1;
        std::int32_t status = -1;
        char message[128] = {};
    };

    StrangerConnections(const std::string &suffix, int count) {
        int up[2], down[2];
        if (::pipe(up) != 0) return;
        if (::pipe(down) != 0) {
            ::close(up[0]);
            ::close(up[1]);
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(up[0]);
            ::close(down[1]);
            Report r;
            if (::setresgid(kStrangerUid, kStrangerUid, kStrangerUid) != 0 ||
                ::setresuid(kStrangerUid, kStrangerUid, kStrangerUid) != 0)
                ::_exit(3);
            std::vector<int> held;
            for (int i = 0; i < count; ++i)
                if (const int fd = ConnectSilently(suffix); fd >= 0) held.push_back(fd);
            r.connected = static_cast<int>(held.size());
            std::int32_t value = 0;
            r.ok = VexSrv_GetTidewellStatus(".", suffix.c_str(), &value, &r.status, r.message, sizeof r.message);
            [[maybe_unused]] const ssize_t w = ::write(up[1], &r, sizeof r);
            char byte;
            [[maybe_unused]] const ssize_t n = ::read(down[0], &byte, 1); // until the parent lets go
            ::_exit(0);
        }
        ::close(up[1]);
        ::close(down[0]);
        release_ = down[1];
        Report got;
        if (pid_ > 0 && ::read(up[0], static_cast<void *>(&got), sizeof got) == sizeof got) {
            report_ = got;
            ok_ = true;
        }
        ::close(up[0]);
    }
    ~StrangerConnections() {
        if (release_ >= 0) ::close(release_);
        if (pid_ > 0) {
            int st = 0;
            ::waitpid(pid_, &st, 0);
        }
    }
    StrangerConnections(const StrangerConnections &) = delete;
    StrangerConnections &operator=(const StrangerConnections &) = delete;

    // Whether the child got as far as its report.
    bool ok() const { return ok_; }
    const Report &report() const { return report_; }

  private:
    pid_t pid_ = -1;
    int release_ = -1;
    bool ok_ = false;
    Report report_;
};

// Silent connections of this process, closed with the object.
class SilentConnections {
  public:
    SilentConnections(const std::string &suffix, int count) {
        for (int i = 0; i < count; ++i)
            if (const int fd = ConnectSilently(suffix); fd >= 0) fds_.push_back(fd);
    }
    ~SilentConnections() {
        for (const int fd : fds_) ::close(fd);
    }
    SilentConnections(const SilentConnections &) = delete;
    SilentConnections &operator=(const SilentConnections &) = delete;
    int size() const { return static_cast<int>(fds_.size()); }
    int StillOpenCount() const {
        return static_cast<int>(std::count_if(fds_.begin(), fds_.end(), [](int fd) { return StillOpen(fd); }));
    }

  private:
    std::vector<int> fds_;
};

} // namespace taskd::test
