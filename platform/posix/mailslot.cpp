// Mailslots over abstract-namespace AF_UNIX datagram sockets: the mailslot
// "\\NODE\mailslot\PATH" of this node is the socket "tidewell/mailslot/path".
// A datagram socket keeps message boundaries and, like a mailslot, lets any
// number of writers reach one reader without a connection.
#include <fcntl.h>
#include <linux/filter.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "platform/platform.h"
#include "platform/posix/errors.h"
#include "platform/posix/local_names.h"

namespace vex::platform {
namespace {

// A NetBIOS computer name has at most 15 characters.
constexpr std::size_t kMaxComputerName = 15;

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Upper(a[i]) != Upper(b[i])) return false;
    return true;
}

// The host name as Windows makes a computer name of it: the text before the
// first ".", in upper case, cut to 15 characters. Returns 0 or the error code.
std::uint32_t LocalComputerName(char (&name)[kMaxComputerName + 1], std::size_t *length) {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) return posix::Win32FromErrno(errno);
    std::size_t n = 0;
    while (n < kMaxComputerName && host[n] != 0 && host[n] != '.') {
        name[n] = Upper(host[n]);
        ++n;
    }
    name[n] = 0;
    *length = n;
    // A host without a name has no computer name either.
    return n != 0 ? kErrorSuccess : kErrorInvalidName;
}

// How a writer's node name reaches this machine.
enum class Reach {
    Local,   // ".", "?": the local mailslot, which must exist
    Network, // "*", this computer's own names: a datagram that nobody may hear
    None,    // another node, or no node at all
};

Reach ReachOf(std::string_view node) {
    if (node == "." || node == "?") return Reach::Local;
    if (node == "*" || posix::IsLocalNode(node)) return Reach::Network;
    char own[kMaxComputerName + 1];
    std::size_t n = 0;
    if (LocalComputerName(own, &n) == kErrorSuccess && EqualNoCase(node, std::string_view(own, n)))
        return Reach::Network;
    return Reach::None;
}

std::uint32_t LastError() {
    return posix::Win32FromErrno(errno);
}

// Drops every datagram longer than max_message before it is queued: the
// mailslot's maximum message size.
bool LimitMessageSize(int fd, std::uint32_t max_message) {
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_LEN, 0),
        BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, max_message, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0),
        BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFFu),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    return ::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

bool SetReadTimeout(int fd, std::uint32_t read_timeout_ms) {
    if (read_timeout_ms == kMailslotWaitForever) return true;
    // SO_RCVTIMEO of zero would mean "forever"; a time-out of 0 is a mailslot
    // that never waits.
    if (read_timeout_ms == 0) return ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) == 0;
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(read_timeout_ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((read_timeout_ms % 1000) * 1000);
    return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

} // namespace

OpenSecurity AcquireOpenSecurity() {
    return {};
}

void ReleaseOpenSecurity(OpenSecurity &security) {
    security = OpenSecurity{};
}

std::uint32_t CreateLocalMailslot(const char *path, std::uint32_t max_message, std::uint32_t read_timeout_ms,
                                  const OpenSecurity &, MailslotHandle *out) {
    *out = kNoMailslot;
    std::string_view node, name;
    if (path == nullptr || !posix::SplitObjectName(path, "mailslot", &node, &name)) return kErrorInvalidName;
    // A mailslot is created on this computer only, always as "\\.\mailslot\".
    if (node != ".") return kErrorPathNotFound;
    sockaddr_un addr{};
    socklen_t addr_len = 0;
    if (const std::uint32_t e = posix::AbstractAddress("mailslot", name, &addr, &addr_len); e != 0) return e;

    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return LastError();
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&addr), addr_len) != 0 ||
        (max_message != 0 && !LimitMessageSize(fd, max_message)) || !SetReadTimeout(fd, read_timeout_ms)) {
        const std::uint32_t error = LastError(); // EADDRINUSE: the name is taken, 183
        ::close(fd);
        return error;
    }
    *out = fd;
    return kErrorSuccess;
}

std::uint32_t OpenMailslotForWrite(const char *path, MailslotHandle *out) {
    *out = kNoMailslot;
    std::string_view node, name;
    if (path == nullptr || !posix::SplitObjectName(path, "mailslot", &node, &name)) return kErrorInvalidName;
    if (node.empty()) return kErrorPathNotFound;
    const Reach reach = ReachOf(node);
    if (reach == Reach::None) return kErrorBadNetPath;
    sockaddr_un addr{};
    socklen_t addr_len = 0;
    if (const std::uint32_t e = posix::AbstractAddress("mailslot", name, &addr, &addr_len); e != 0) return e;

    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return LastError();
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&addr), addr_len) != 0) {
        const int err = errno;
        // A local mailslot that nobody created is missing, as on Windows. A
        // network name opens whether anyone listens or not, so the socket
        // stays unconnected and its writes reach nobody.
        if (reach == Reach::Local || (err != ECONNREFUSED && err != ENOENT)) {
            ::close(fd);
            return posix::Win32FromErrno(err);
        }
    }
    *out = fd;
    return kErrorSuccess;
}

std::uint32_t WriteMailslot(MailslotHandle mailslot, const void *data, std::uint32_t size) {
    ssize_t sent;
    // Never waits for room: a reader that has stopped reading would hold the
    // writer for ever (a socket queues only a few datagrams).
    do {
        sent = ::send(static_cast<int>(mailslot), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    if (sent >= 0) return kErrorSuccess;
    switch (errno) {
    // No reader (never there, or gone since), or one whose queue is full:
    // the message is lost without a word to the writer, as a mailslot
    // message on the network is.
    case ENOTCONN:
    case ECONNREFUSED:
    case EAGAIN:
        return kErrorSuccess;
    // More than a socket can carry in one message.
    case EMSGSIZE:
        return kErrorInvalidParameter;
    default:
        return LastError();
    }
}

std::uint32_t ReadMailslot(MailslotHandle mailslot, void *buffer, std::uint32_t size, std::uint32_t *received) {
    *received = 0;
    const int fd = static_cast<int>(mailslot);
    // Learn the next message's length first, so that a buffer too small for it
    // fails without losing the message, as ReadFile on a mailslot does.
    ssize_t length;
    do {
        length = ::recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC);
    } while (length < 0 && errno == EINTR);
    // EAGAIN: nothing came within the read time-out, 121.
    if (length < 0) return LastError();
    if (static_cast<std::uint64_t>(length) > size) return kErrorInsufficientBuffer;
    ssize_t got;
    do {
        got = ::recv(fd, buffer, size, 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return LastError();
    *received = static_cast<std::uint32_t>(got);
    return kErrorSuccess;
}

void CloseMailslot(MailslotHandle mailslot) {
    if (mailslot != kNoMailslot) ::close(static_cast<int>(mailslot));
}

std::uint32_t ComputerName(char *buffer, std::uint32_t *size) {
    char name[kMaxComputerName + 1];
    std::size_t n = 0;
    if (const std::uint32_t e = LocalComputerName(name, &n); e != kErrorSuccess) return e;
    if (n + 1 > *size) {
        *size = static_cast<std::uint32_t>(n + 1);
        return kErrorBufferOverflow;
    }
    for (std::size_t i = 0; i <= n; ++i)
        buffer[i] = name[i];
    *size = static_cast<std::uint32_t>(n);
    return kErrorSuccess;
}

std::uint32_t ProcessId() {
    return static_cast<std::uint32_t>(::getpid());
}

} // namespace vex::platform
