// Mailslots over abstract-namespace AF_UNIX datagram sockets: the mailslot
// "\\NODE\mailslot\PATH" of this node is the socket "tidewell/mailslot/path".
// A datagram socket keeps message boundaries and, like a mailslot, lets any
// number of writers reach one reader without a connection.
//
// Other nodes are reached by UDP (mailslot_datagram.h): "\\*\" goes to this
// node's socket and to the broadcast address of every interface, "\\NODE\"
// to NODE alone. Answers come back to the socket the message left from.
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/filter.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <string_view>

#include "platform/platform.h"
#include "platform/posix/errors.h"
#include "platform/posix/local_names.h"
#include "platform/posix/mailslot_datagram.h"

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

// How a writer's node name reaches its mailslots.
enum class Reach {
    Local,     // ".", "?": the local mailslot, which must exist
    OwnName,   // this computer's own names: a datagram that nobody may hear
    Broadcast, // "*": as OwnName, and a UDP broadcast to the other nodes
    Remote,    // another node: a UDP datagram to it
};

Reach ReachOf(std::string_view node) {
    if (node == "." || node == "?") return Reach::Local;
    if (node == "*") return Reach::Broadcast;
    if (posix::IsLocalNode(node)) return Reach::OwnName;
    char own[kMaxComputerName + 1];
    std::size_t n = 0;
    if (LocalComputerName(own, &n) == kErrorSuccess && EqualNoCase(node, std::string_view(own, n)))
        return Reach::OwnName;
    return Reach::Remote;
}

// A writer to other nodes. Its handle is its address with kWriterTag set: a
// socket's handle is a small number, and no user-space address reaches bit 62.
struct NetworkWriter {
    int local = -1; // this node's mailslot, for "*"
    int udp = -1;
    bool broadcast = false;
    sockaddr_in node{};
    std::uint16_t port = 0;
    std::size_t path_length = 0;
    char path[posix::kMaxDatagramPath];
};

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

static_assert(sizeof(MailslotHandle) == 8, "a writer's address travels in its handle");
constexpr MailslotHandle kWriterTag = MailslotHandle{1} << 62;

NetworkWriter *AsWriter(MailslotHandle h) {
    if (h <= 0 || (h & kWriterTag) == 0) return nullptr;
    return reinterpret_cast<NetworkWriter *>(h & ~kWriterTag);
}

void CloseWriter(NetworkWriter *w) {
    if (w->local >= 0) ::close(w->local);
    if (w->udp >= 0) ::close(w->udp);
    delete w;
}

// Whether address is one of this node's own interface addresses: a message
// to it is delivered here, as to any of this computer's names.
bool IsOwnAddress(const in_addr &address) {
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0) return false;
    bool own = false;
    for (const ifaddrs *i = list; i != nullptr && !own; i = i->ifa_next)
        if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET)
            own = reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr == address.s_addr;
    ::freeifaddrs(list);
    return own;
}

// The first IPv4 address of node. Returns 0 or 53, as for a network path
// that cannot be found.
std::uint32_t ResolveNode(std::string_view node, in_addr *out) {
    char name[256];
    if (node.size() >= sizeof name) return kErrorBadNetPath;
    std::memcpy(name, node.data(), node.size());
    name[node.size()] = 0;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *found = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return kErrorBadNetPath;
    *out = reinterpret_cast<const sockaddr_in *>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return kErrorSuccess;
}

// This node's socket for the mailslot: connected when it exists, else left
// unconnected so that writes reach nobody. Returns 0 or the error code.
std::uint32_t OpenLocalSocket(const sockaddr_un &addr, socklen_t addr_len, bool must_exist, int *out) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return LastError();
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&addr), addr_len) != 0) {
        const int err = errno;
        // A local mailslot that nobody created is missing, as on Windows. A
        // network name opens whether anyone listens or not.
        if (must_exist || (err != ECONNREFUSED && err != ENOENT)) {
            ::close(fd);
            return posix::Win32FromErrno(err);
        }
    }
    *out = fd;
    return kErrorSuccess;
}

std::uint32_t OpenNetworkWriter(Reach reach, const in_addr &node, std::string_view path, const sockaddr_un &addr,
                                socklen_t addr_len, MailslotHandle *out) {
    if (!posix::ValidDatagramPath(path)) return kErrorInvalidName;
    auto *w = new (std::nothrow) NetworkWriter;
    if (w == nullptr) return kErrorNotEnoughMemory;
    w->broadcast = reach == Reach::Broadcast;
    w->port = posix::NetworkMailslotPort();
    w->node.sin_family = AF_INET;
    w->node.sin_addr = node;
    w->node.sin_port = htons(w->port);
    std::memcpy(w->path, path.data(), path.size());
    w->path_length = path.size();
    std::uint32_t e = kErrorSuccess;
    if (w->broadcast) e = OpenLocalSocket(addr, addr_len, false, &w->local);
    if (e == kErrorSuccess) {
        w->udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        sockaddr_in any{};
        any.sin_family = AF_INET;
        // Bound at once, so that answers have a port to come back to.
        if (w->udp < 0 || (w->broadcast && ::setsockopt(w->udp, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) ||
            ::bind(w->udp, reinterpret_cast<const sockaddr *>(&any), sizeof any) != 0)
            e = LastError();
    }
    if (e != kErrorSuccess) {
        CloseWriter(w);
        return e;
    }
    *out = reinterpret_cast<MailslotHandle>(w) | kWriterTag;
    return kErrorSuccess;
}

void SendTo(int fd, const std::uint8_t *datagram, std::size_t size, const sockaddr_in &to) {
    ssize_t sent;
    do {
        sent = ::sendto(fd, datagram, size, MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<const sockaddr *>(&to),
                        sizeof to);
    } while (sent < 0 && errno == EINTR);
}

// Sends the message over the network. Like a mailslot message on a network,
// it is lost without a word when no route, interface or listener takes it.
std::uint32_t WriteNetwork(const NetworkWriter &w, const void *data, std::uint32_t size) {
    std::uint8_t datagram[posix::kMaxDatagramSize];
    const std::size_t n = posix::WriteMailslotDatagram(std::string_view(w.path, w.path_length), data, size, datagram,
                                                       sizeof datagram);
    if (n == 0) return kErrorInvalidParameter; // longer than a network mailslot carries
    if (!w.broadcast) {
        SendTo(w.udp, datagram, n, w.node);
        return kErrorSuccess;
    }
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0) return kErrorSuccess;
    for (const ifaddrs *i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || i->ifa_broadaddr == nullptr) continue;
        if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0 ||
            (i->ifa_flags & IFF_BROADCAST) == 0)
            continue;
        sockaddr_in to = *reinterpret_cast<const sockaddr_in *>(i->ifa_broadaddr);
        to.sin_port = htons(w.port);
        SendTo(w.udp, datagram, n, to);
    }
    ::freeifaddrs(list);
    return kErrorSuccess;
}

// The read time-out a mailslot socket was created with, in milliseconds; -1
// for none.
int ReadTimeoutOf(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) != 0) return 0;
    timeval tv{};
    socklen_t len = sizeof tv;
    if (::getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len) != 0 || (tv.tv_sec == 0 && tv.tv_usec == 0)) return -1;
    const long long ms = static_cast<long long>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

// Takes one datagram waiting on the writer's socket: true and the message in
// buffer when it is a well-formed message for the reply mailslot (the same
// socket name) of at most max_message bytes; anything else is dropped.
bool TakeReturned(int udp, const sockaddr_un &reply_name, socklen_t reply_len, std::uint32_t max_message,
                  void *buffer, std::uint32_t size, std::uint32_t *received) {
    std::uint8_t datagram[posix::kMaxDatagramSize + 1];
    const ssize_t got = ::recv(udp, datagram, sizeof datagram, MSG_DONTWAIT);
    if (got <= 0) return false;
    posix::MailslotDatagram d;
    if (!posix::ParseMailslotDatagram(datagram, static_cast<std::size_t>(got), &d)) return false;
    if (d.message.size() > size || (max_message != 0 && d.message.size() > max_message)) return false;
    sockaddr_un addr{};
    socklen_t addr_len = 0;
    if (posix::AbstractAddress("mailslot", d.path, &addr, &addr_len) != kErrorSuccess || addr_len != reply_len ||
        std::memcmp(&addr, &reply_name, addr_len) != 0)
        return false;
    if (!d.message.empty()) std::memcpy(buffer, d.message.data(), d.message.size());
    *received = static_cast<std::uint32_t>(d.message.size());
    return true;
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
    Reach reach = ReachOf(node);
    in_addr address{};
    if (posix::NetworkMailslotPort() == 0) {
        // Network mailslots are off: "*" is this node alone, another node is
        // not looked up.
        if (reach == Reach::Broadcast) reach = Reach::OwnName;
        if (reach == Reach::Remote) return kErrorBadNetPath;
    }
    if (reach == Reach::Remote) {
        if (const std::uint32_t e = ResolveNode(node, &address); e != kErrorSuccess) return e;
        if (IsOwnAddress(address)) reach = Reach::OwnName;
    }
    sockaddr_un addr{};
    socklen_t addr_len = 0;
    if (const std::uint32_t e = posix::AbstractAddress("mailslot", name, &addr, &addr_len); e != 0) return e;
    if (reach == Reach::Broadcast || reach == Reach::Remote)
        return OpenNetworkWriter(reach, address, name, addr, addr_len, out);

    int fd = -1;
    if (const std::uint32_t e = OpenLocalSocket(addr, addr_len, reach == Reach::Local, &fd); e != kErrorSuccess)
        return e;
    *out = fd;
    return kErrorSuccess;
}

std::uint32_t WriteMailslot(MailslotHandle mailslot, const void *data, std::uint32_t size) {
    if (const NetworkWriter *w = AsWriter(mailslot)) {
        if (size > posix::kMaxDatagramMessage) return kErrorInvalidParameter;
        if (w->local >= 0)
            if (const std::uint32_t e = WriteMailslot(w->local, data, size); e != kErrorSuccess) return e;
        return WriteNetwork(*w, data, size);
    }
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

std::uint32_t ReadMailslotReply(MailslotHandle reply, MailslotHandle writer, std::uint32_t max_message, void *buffer,
                                std::uint32_t size, std::uint32_t *received) {
    const NetworkWriter *w = AsWriter(writer);
    if (w == nullptr) return ReadMailslot(reply, buffer, size, received);
    *received = 0;
    const int fd = static_cast<int>(reply);
    sockaddr_un name{};
    socklen_t name_len = sizeof name;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&name), &name_len) != 0) return LastError();
    // One wait for the next answer from either side; datagrams dropped on
    // the way do not restart it.
    const int timeout = ReadTimeoutOf(fd);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout < 0 ? 0 : timeout);
    for (;;) {
        int wait = -1;
        if (timeout >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                   std::chrono::steady_clock::now());
            wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {w->udp, POLLIN, 0}};
        const int ready = ::poll(fds, 2, wait);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return LastError();
        if (ready == 0) return kErrorSemTimeout;
        if (fds[0].revents != 0) return ReadMailslot(reply, buffer, size, received);
        if (fds[1].revents != 0 &&
            TakeReturned(w->udp, name, name_len, max_message, buffer, size, received))
            return kErrorSuccess;
    }
}

void CloseMailslot(MailslotHandle mailslot) {
    if (NetworkWriter *w = AsWriter(mailslot)) {
        CloseWriter(w);
        return;
    }
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
