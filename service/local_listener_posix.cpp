// The local pipe on POSIX: an abstract SOCK_SEQPACKET socket, one message per
// record, the caller known by its socket's credentials from the start.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/posix/local_names.h"
#include "service/connection.h"
#include "service/os.h"

namespace taskd {
namespace {

class LocalChannel final : public Channel {
  public:
    explicit LocalChannel(int fd) : fd_(fd) {
        ucred cred{};
        socklen_t len = sizeof cred;
        if (::getsockopt(fd_, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && len == sizeof cred) {
            caller_.known = caller_.user_known = true;
            caller_.user_id = static_cast<std::uint32_t>(cred.uid);
            caller_.process_id = static_cast<std::uint32_t>(cred.pid);
            key_ = PeerKey::LocalUser(caller_.user_id);
        }
    }
    ~LocalChannel() override { ::close(fd_); }

    int fd() const override { return fd_; }
    const Caller &caller() const override { return caller_; }
    const PeerKey &key() const override { return key_; }

    Io Receive(std::vector<std::uint8_t> &out, std::size_t max_size, bool *truncated) override {
        // Received into the thread's own block, left uncleared, and copied
        // out by its length: resizing out to max_size first would clear up
        // to 64 KB for every request of 8 KB.
        thread_local std::size_t room = 0;
        thread_local std::unique_ptr<std::uint8_t[]> block;
        if (room < max_size) {
            block = std::make_unique_for_overwrite<std::uint8_t[]>(max_size);
            room = max_size;
        }
        ssize_t got;
        do {
            got = ::recv(fd_, block.get(), max_size, MSG_TRUNC | MSG_DONTWAIT);
        } while (got < 0 && errno == EINTR);
        if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? Io::WantRead : Io::Closed;
        if (got == 0) return Io::Closed;
        *truncated = static_cast<std::size_t>(got) > max_size;
        const std::size_t kept = *truncated ? max_size : static_cast<std::size_t>(got);
        out.assign(block.get(), block.get() + kept);
        return Io::Done;
    }

    Io Send(const std::uint8_t *data, std::size_t size) override {
        ssize_t sent;
        do {
            sent = ::send(fd_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        } while (sent < 0 && errno == EINTR);
        if (sent < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? Io::WantWrite : Io::Closed;
        return static_cast<std::size_t>(sent) == size ? Io::Done : Io::Closed;
    }

    void DiscardInput() override {
        // Closing a socket with unread messages resets the peer, which then
        // loses the reply already queued for it. A few are enough: a caller
        // sends one request.
        char byte;
        for (int i = 0; i < 4 && ::recv(fd_, &byte, 1, MSG_TRUNC | MSG_DONTWAIT) > 0; ++i) {
        }
    }

  private:
    int fd_;
    Caller caller_;
    PeerKey key_;
};

class LocalListener final : public Listener {
  public:
    LocalListener(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
    ~LocalListener() override { ::close(fd_); }

    int fd() const override { return fd_; }
    std::string Describe() const override { return "the pipe \\\\.\\pipe\\" + name_; }

    std::unique_ptr<Channel> Accept(int *err) override {
        for (;;) {
            const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (c >= 0) {
                *err = 0;
                return std::make_unique<LocalChannel>(c);
            }
            // A client that left before it was taken is no failure.
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
            *err = errno == EAGAIN || errno == EWOULDBLOCK ? 0 : errno;
            return nullptr;
        }
    }

  private:
    int fd_;
    std::string name_;
};

// Who holds the name: the credentials of the process that listens on it.
std::string Holder(const sockaddr_un &addr, socklen_t len) {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return {};
    std::string who;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&addr), len) == 0) {
        ucred cred{};
        socklen_t clen = sizeof cred;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &clen) == 0 && clen == sizeof cred)
            who = "process " + std::to_string(cred.pid) + " of user " + os::UserName(cred.uid) + " (" +
                  std::to_string(cred.uid) + ")";
    }
    ::close(fd);
    return who;
}

} // namespace

std::unique_ptr<Listener> ListenLocalPipe(const std::string &name, std::string *why) {
    const std::string shown = "the pipe \\\\.\\pipe\\" + name;
    sockaddr_un addr{};
    socklen_t len = 0;
    if (vex::platform::posix::AbstractAddress("pipe", name, &addr, &len) != 0) {
        *why = "the name of " + shown + " is too long for a socket name";
        return nullptr;
    }
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *why = "cannot serve " + shown + ": " + std::strerror(errno);
        return nullptr;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&addr), len) != 0) {
        const int err = errno;
        ::close(fd);
        if (err == EADDRINUSE) {
            const std::string holder = Holder(addr, len);
            *why = "another service already serves " + shown + (holder.empty() ? "" : ": " + holder);
        } else {
            *why = "cannot serve " + shown + ": " + std::strerror(err);
        }
        return nullptr;
    }
    if (::listen(fd, SOMAXCONN) != 0) {
        *why = "cannot serve " + shown + ": " + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<LocalListener>(fd, name);
}

} // namespace taskd
