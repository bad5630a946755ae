#include "platform/pipe_server.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/posix/errors.h"
#include "platform/posix/local_names.h"

namespace vex::platform {
namespace {


class SocketConnection final : public PipeConnection {
  public:
    explicit SocketConnection(int fd) : fd_(fd) {}
    ~SocketConnection() override { ::close(fd_); }

    bool ReadMessage(std::vector<std::uint8_t> &out, std::size_t max_size, bool *truncated) override {
        out.resize(max_size);
        ssize_t got;
        do {
            got = ::recv(fd_, out.data(), max_size, MSG_TRUNC);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) return false;
        *truncated = static_cast<std::size_t>(got) > max_size;
        out.resize(*truncated ? max_size : static_cast<std::size_t>(got));
        return true;
    }

    bool WriteMessage(const void *data, std::size_t size) override {
        ssize_t sent;
        do {
            sent = ::send(fd_, data, size, MSG_NOSIGNAL);
        } while (sent < 0 && errno == EINTR);
        return sent >= 0 && static_cast<std::size_t>(sent) == size;
    }

    PeerIdentity Peer() const override {
        ucred cred{};
        socklen_t len = sizeof cred;
        if (::getsockopt(fd_, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return {};
        return {true, static_cast<std::uint32_t>(cred.uid), static_cast<std::uint32_t>(cred.pid)};
    }

  private:
    int fd_;
};

class SocketServer final : public PipeServer {
  public:
    SocketServer(int fd, int client_silence_seconds) : fd_(fd), silence_(client_silence_seconds) {}
    ~SocketServer() override {
        Stop();
        ::close(fd_);
    }

    std::unique_ptr<PipeConnection> Accept() override {
        while (!stopped_.load()) {
            const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                if (stopped_.load()) {
                    ::close(c);
                    break;
                }
                // A client that connects and then sends nothing, or never
                // reads its reply, must not hold a worker for ever.
                const timeval limit{silence_, 0};
                ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
                ::setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
                return std::make_unique<SocketConnection>(c);
            }
            if (errno != EINTR && errno != ECONNABORTED) break;
        }
        return nullptr;
    }

    void Stop() override {
        // shutdown wakes every thread blocked in accept.
        if (!stopped_.exchange(true)) ::shutdown(fd_, SHUT_RDWR);
    }

  private:
    int fd_;
    time_t silence_;
    std::atomic<bool> stopped_{false};
};

} // namespace

std::unique_ptr<PipeServer> ServePipe(const std::string &name, std::uint32_t *error, int client_silence_seconds) {
    sockaddr_un addr{};
    socklen_t len = 0;
    if (const std::uint32_t e = posix::AbstractAddress("pipe", name, &addr, &len); e != 0) {
        *error = e;
        return nullptr;
    }
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = posix::Win32FromErrno(errno);
        return nullptr;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&addr), len) != 0 || ::listen(fd, 128) != 0) {
        *error = posix::Win32FromErrno(errno);
        ::close(fd);
        return nullptr;
    }
    *error = 0;
    return std::make_unique<SocketServer>(fd, client_silence_seconds);
}

} // namespace vex::platform
