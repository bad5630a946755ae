// The echo of the reachability probe over an ICMP socket: an unprivileged
// ping socket where the system allows one, else a raw socket.
// <linux/errqueue.h> needs struct timespec declared first.
#include <time.h>

#include <linux/errqueue.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>

#include "platform/platform.h"

namespace vex::platform {
namespace {

// 64 bytes of the letter c after the 8-byte ICMP header.
constexpr std::size_t kIcmpHeaderSize = 8;
constexpr std::size_t kEchoDataSize = 64;
constexpr unsigned char kEchoFill = 0x63;
// Room for the answer: an echo reply with its IP header (92 bytes), or an
// ICMP error quoting the start of the echo.
constexpr std::size_t kReplyBufferSize = 100;

constexpr std::uint8_t kIcmpEchoReply = 0;
constexpr std::uint8_t kIcmpDestUnreachable = 3;
constexpr std::uint8_t kIcmpSourceQuench = 4;
constexpr std::uint8_t kIcmpRedirect = 5;
constexpr std::uint8_t kIcmpEchoRequest = 8;
constexpr std::uint8_t kIcmpTimeExceeded = 11;
constexpr std::uint8_t kIcmpParameterProblem = 12;

// ICMP header fields.
constexpr std::size_t kIcmpType = 0;
constexpr std::size_t kIcmpChecksum = 2;
constexpr std::size_t kIcmpId = 4;
constexpr std::size_t kIcmpSequence = 6;

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

std::uint16_t Get16(const unsigned char *p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}
void Put16(unsigned char *p, std::uint16_t v) {
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}

// The Internet checksum, stored in network byte order.
std::uint16_t Checksum(const unsigned char *p, std::size_t n) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < n; i += 2)
        sum += Get16(p + i);
    if (n % 2 != 0) sum += static_cast<std::uint32_t>(p[n - 1]) << 8;
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

// How an echo is told apart from the others in flight. A ping socket has the
// system choose and check the identifier; a raw socket sees every ICMP packet
// of the machine, so the identifier is the process's and the sequence number
// the socket's, which no other probe of this process uses at the same time.
struct EchoTag {
    bool raw;
    std::uint16_t id;
    std::uint16_t sequence;
};

bool Tagged(const unsigned char *icmp, const EchoTag &tag) {
    return (tag.raw ? Get16(icmp + kIcmpId) == tag.id : true) && Get16(icmp + kIcmpSequence) == tag.sequence;
}

// The ICMP message in a raw packet, after its IP header; null when too short.
const unsigned char *SkipIpHeader(const unsigned char *packet, std::size_t size, std::size_t *rest) {
    if (size < 20) return nullptr;
    const std::size_t header = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
    if (header < 20 || size < header + kIcmpHeaderSize) return nullptr;
    *rest = size - header;
    return packet + header;
}

bool IsIcmpError(std::uint8_t type) {
    return type == kIcmpDestUnreachable || type == kIcmpSourceQuench || type == kIcmpRedirect ||
           type == kIcmpTimeExceeded || type == kIcmpParameterProblem;
}

// Whether a received packet answers the echo: the reply itself, or an ICMP
// error quoting it (a router's or the network's answer, which counts too).
bool Answers(const unsigned char *packet, std::size_t size, const EchoTag &tag) {
    std::size_t rest = size;
    const unsigned char *icmp = packet;
    if (tag.raw) icmp = SkipIpHeader(packet, size, &rest);
    if (icmp == nullptr || rest < kIcmpHeaderSize) return false;
    if (icmp[kIcmpType] == kIcmpEchoReply) return Tagged(icmp, tag);
    // A ping socket reports errors through its error queue, not as packets.
    if (!tag.raw || !IsIcmpError(icmp[kIcmpType])) return false;
    std::size_t quoted_rest = 0;
    const unsigned char *quoted = SkipIpHeader(icmp + kIcmpHeaderSize, rest - kIcmpHeaderSize, &quoted_rest);
    return quoted != nullptr && quoted[kIcmpType] == kIcmpEchoRequest && Tagged(quoted, tag);
}

// Whether the error queue of a ping socket holds an ICMP error about the echo.
bool QueuedIcmpError(int fd) {
    unsigned char quoted[kReplyBufferSize];
    alignas(cmsghdr) unsigned char control[256];
    iovec iov{quoted, sizeof quoted};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    if (::recvmsg(fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) return false;
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR) continue;
        sock_extended_err err;
        std::memcpy(&err, CMSG_DATA(c), sizeof err);
        if (err.ee_origin == SO_EE_ORIGIN_ICMP) return true;
    }
    return false;
}

// Opens an ICMP socket: a ping socket, else a raw one. -1 when neither.
int OpenIcmpSocket(bool *raw) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd >= 0) {
        // ICMP errors about the echo reach the socket only when asked for.
        const int on = 1;
        ::setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
        *raw = false;
        return fd;
    }
    fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    *raw = true;
    return fd;
}

EchoOutcome Echo(int fd, const EchoTag &tag, const sockaddr_in &target, unsigned char *reply,
                 std::uint32_t timeout_ms) {
    unsigned char request[kIcmpHeaderSize + kEchoDataSize] = {};
    request[kIcmpType] = kIcmpEchoRequest;
    Put16(request + kIcmpId, tag.id);
    Put16(request + kIcmpSequence, tag.sequence);
    std::memset(request + kIcmpHeaderSize, kEchoFill, kEchoDataSize);
    Put16(request + kIcmpChecksum, Checksum(request, sizeof request));

    ssize_t sent;
    do {
        sent = ::sendto(fd, request, sizeof request, 0, reinterpret_cast<const sockaddr *>(&target), sizeof target);
    } while (sent < 0 && errno == EINTR);
    // An echo that cannot be sent goes unanswered.
    if (sent != static_cast<ssize_t>(sizeof request)) return EchoOutcome::NoReply;

    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return EchoOutcome::NoReply;
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return EchoOutcome::NoReply;
        if ((p.revents & POLLERR) != 0) {
            if (!tag.raw && QueuedIcmpError(fd)) return EchoOutcome::Replied;
            // Another error of the socket: take it off and go on waiting.
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
            continue;
        }
        const ssize_t got = ::recv(fd, reply, kReplyBufferSize, MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return EchoOutcome::NoReply;
        }
        // Echoes of other probes on a raw socket are skipped.
        if (Answers(reply, static_cast<std::size_t>(got), tag)) return EchoOutcome::Replied;
    }
}

} // namespace

EchoOutcome EchoHost(const char *host, std::uint32_t timeout_ms) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo *list = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &list) != 0 || list == nullptr) return EchoOutcome::NotCarriedOut;
    sockaddr_in target{};
    const bool usable =
        list->ai_addr != nullptr && list->ai_addr->sa_family == AF_INET && list->ai_addrlen >= sizeof target;
    if (usable) std::memcpy(&target, list->ai_addr, sizeof target);
    ::freeaddrinfo(list);
    if (!usable) return EchoOutcome::NotCarriedOut;

    // Without a reply buffer the echo cannot be carried out.
    std::unique_ptr<unsigned char[]> reply(new (std::nothrow) unsigned char[kReplyBufferSize]);
    if (!reply) return EchoOutcome::NotCarriedOut;

    bool raw = false;
    Fd fd(OpenIcmpSocket(&raw));
    if (fd.get() < 0) return EchoOutcome::NotCarriedOut;
    const EchoTag tag{raw, static_cast<std::uint16_t>(::getpid()), static_cast<std::uint16_t>(fd.get())};
    return Echo(fd.get(), tag, target, reply.get(), timeout_ms);
}

} // namespace vex::platform
