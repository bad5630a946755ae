// The named-pipe transaction over an abstract-namespace SOCK_SEQPACKET socket:
// connect, check who serves it, one request message, one reply message,
// close.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/posix/errors.h"
#include "platform/posix/local_names.h"
#include "platform/posix/peer_trust.h"
#include "platform/posix/remote_pipe.h"

namespace vex::platform {
namespace {

class Socket {
  public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

std::uint32_t LocalTransact(const sockaddr_un &addr, socklen_t addr_len, const void *request,
                            std::uint32_t request_size, void *reply, std::uint32_t reply_size, std::uint32_t *received);

// Other nodes are reached over TLS, by the pipe's path put together.
std::uint32_t RemoteTransact(std::string_view node, std::span<const std::string_view> path, const void *request,
                             std::uint32_t request_size, void *reply, std::uint32_t reply_size,
                             std::uint32_t *received) {
    std::string whole;
    for (std::string_view piece : path) whole += piece;
    return posix::RemotePipeTransact(node, whole, request, request_size, reply, reply_size, received);
}

} // namespace

std::uint32_t PipeTransact(const char *pipe_name, const void *request, std::uint32_t request_size, void *reply,
                           std::uint32_t reply_size, std::uint32_t *received) {
    std::string_view node, path;
    if (pipe_name == nullptr || !posix::SplitObjectName(pipe_name, "pipe", &node, &path)) return kErrorInvalidName;
    return PipeTransactAt(node, std::span<const std::string_view>(&path, 1), request, request_size, reply, reply_size,
                          received);
}

std::uint32_t PipeTransactAt(std::string_view node, std::span<const std::string_view> path, const void *request,
                             std::uint32_t request_size, void *reply, std::uint32_t reply_size,
                             std::uint32_t *received) {
    // A node with a "\\" in it would have split the name elsewhere.
    if (node.find('\\') != std::string_view::npos) return kErrorInvalidName;
    if (!posix::IsLocalNode(node))
        return RemoteTransact(node, path, request, request_size, reply, reply_size, received);
    sockaddr_un addr;
    socklen_t addr_len = 0;
    if (const std::uint32_t e = posix::AbstractAddress("pipe", path, &addr, &addr_len); e != 0) return e;
    return LocalTransact(addr, addr_len, request, request_size, reply, reply_size, received);
}

namespace {

std::uint32_t LocalTransact(const sockaddr_un &addr, socklen_t addr_len, const void *request,
                            std::uint32_t request_size, void *reply, std::uint32_t reply_size,
                            std::uint32_t *received) {
    Socket sock(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (sock.get() < 0) return posix::Win32FromErrno(errno);
    // A blocking connect waits while the server's backlog is full: the wait
    // for a free pipe instance, without limit.
    while (::connect(sock.get(), reinterpret_cast<const sockaddr *>(&addr), addr_len) != 0) {
        if (errno != EINTR) return posix::Win32FromErrno(errno);
    }
    // Nothing goes to a server run by a user the caller does not trust.
    if (const std::uint32_t e = posix::CheckServerPeer(sock.get()); e != 0) return e;
    // One message from one buffer: send brings in no message header, which
    // costs more than the caller's clearing of its record's tail.
    ssize_t sent;
    do {
        sent = ::send(sock.get(), request, request_size, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) return posix::Win32FromErrno(errno);
    if (static_cast<std::uint32_t>(sent) != request_size) return kErrorBrokenPipe;

    // MSG_TRUNC makes recv report the message's full length, so a reply longer
    // than the offered buffer is told apart as on Windows. Every message, an
    // empty one too, carries the server's address; the end of the connection
    // carries none, and so tells a hang-up from an empty reply. Only the
    // address's length is wanted: offered no room, the kernel copies nothing
    // and still reports it.
    ssize_t got;
    sockaddr from;
    socklen_t from_len;
    do {
        from_len = 0;
        got = ::recvfrom(sock.get(), reply, reply_size, MSG_TRUNC, &from, &from_len);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return posix::Win32FromErrno(errno);
    if (got == 0 && from_len == 0) return kErrorBrokenPipe;
    if (static_cast<std::uint64_t>(got) > reply_size) return kErrorMoreData;
    *received = static_cast<std::uint32_t>(got);
    return kErrorSuccess;
}

} // namespace

} // namespace vex::platform
