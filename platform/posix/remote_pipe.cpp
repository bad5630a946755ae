#include "platform/posix/remote_pipe.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "platform/posix/remote_pool.h"
#include "platform/posix/tls_frame.h"
#include "platform/posix/tls_identity.h"
#include "platform/posix/tls_socket.h"

namespace vex::platform::posix {
namespace {

using tls::Clock;
using tls::Connection;
using tls::Failure;

// Reaching the service and the handshake together take at most this long.
constexpr auto kConnectLimit = std::chrono::seconds(20);
// A peer host that went away unseen is noticed within about two minutes.
constexpr int kKeepAliveIdle = 60, kKeepAliveInterval = 10, kKeepAliveCount = 6;

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

// Waits until fd is ready for events; without a deadline, for ever. False at
// the deadline.
bool WaitFor(int fd, short events, const std::optional<Clock::time_point> &deadline) {
    for (;;) {
        int wait_ms = -1;
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
            if (left <= 0) return false;
            wait_ms = static_cast<int>(left);
        }
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, wait_ms);
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return true; // let the next call report it
    }
}

// What the driving of one TLS call came to.
struct Outcome {
    bool done = false;
    bool timed_out = false;
    Failure failure = Failure::Other;
};

// Runs a TLS call (returning 1 when done) until it completes or fails.
template <class Call> Outcome Drive(SSL *ssl, int fd, const std::optional<Clock::time_point> &deadline, Call call) {
    for (;;) {
        const int ret = call();
        if (ret == 1) return {true, false, Failure::Other};
        bool wants_write = false;
        const Failure f = tls::Classify(ssl, ret, &wants_write);
        if (f != Failure::WouldBlock) return {false, false, f};
        if (!WaitFor(fd, wants_write ? POLLOUT : POLLIN, deadline)) return {false, true, Failure::Other};
    }
}

// Win32 code for a failure during an exchange.
std::uint32_t ExchangeError(const Outcome &o) {
    return o.failure == Failure::PeerRefusedUs ? kErrorAccessDenied : kErrorBrokenPipe;
}

// Connects to one of the node's addresses before the deadline.
std::uint32_t ConnectTo(const std::string &host, std::uint16_t port, Clock::time_point deadline, Fd *out) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo *list = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0 || list == nullptr) return kErrorBadNetPath;
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(list, ::freeaddrinfo);

    bool refused = false;
    for (const addrinfo *a = list; a != nullptr; a = a->ai_next) {
        Fd fd(::socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
        if (fd.get() < 0) continue;
        int err = 0;
        if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) != 0) {
            err = errno;
            if (err == EINPROGRESS || err == EINTR) {
                if (!WaitFor(fd.get(), POLLOUT, deadline)) return kErrorSemTimeout;
                socklen_t len = sizeof err;
                if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
            }
        }
        if (err == 0) {
            const int on = 1;
            ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            ::setsockopt(fd.get(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
            ::setsockopt(fd.get(), IPPROTO_TCP, TCP_KEEPIDLE, &kKeepAliveIdle, sizeof kKeepAliveIdle);
            ::setsockopt(fd.get(), IPPROTO_TCP, TCP_KEEPINTVL, &kKeepAliveInterval, sizeof kKeepAliveInterval);
            ::setsockopt(fd.get(), IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveCount, sizeof kKeepAliveCount);
            out->reset(fd.release());
            return kErrorSuccess;
        }
        if (err == ECONNREFUSED) refused = true;
        if (Clock::now() >= deadline) return kErrorSemTimeout;
    }
    // The host answered but nothing listens: as a pipe that does not exist.
    return refused ? kErrorFileNotFound : kErrorBadNetPath;
}

// The TLS handshake on a connected socket: this side's certificate, the
// service's checked against the CA and the node, the pipe named.
std::uint32_t Handshake(Fd &fd, const std::string &host, const std::string &target, const char *protocol,
                        std::size_t protocol_size, Clock::time_point deadline, std::unique_ptr<Connection> *out) {
    SSL_CTX *ctx = tls::ClientContext();
    if (ctx == nullptr) return kErrorNotAuthenticated;
    SSL *ssl = SSL_new(ctx);
    if (ssl == nullptr) return kErrorNotEnoughMemory;
    auto connection = std::make_unique<Connection>(fd.release(), ssl);

    unsigned char alpn[1 + tls::kMaxProtocolName];
    alpn[0] = static_cast<unsigned char>(protocol_size);
    std::memcpy(alpn + 1, protocol, protocol_size);
    unsigned char address[sizeof(in6_addr)];
    const bool is_address =
        ::inet_pton(AF_INET, host.c_str(), address) == 1 || ::inet_pton(AF_INET6, host.c_str(), address) == 1;
    bool ok = tls::AttachSocket(ssl, connection->fd()) &&
              SSL_set_alpn_protos(ssl, alpn, static_cast<unsigned>(1 + protocol_size)) == 0;
    if (ok && is_address)
        ok = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1;
    else if (ok)
        ok = SSL_set1_host(ssl, host.c_str()) == 1 && SSL_set_tlsext_host_name(ssl, host.c_str()) == 1;
    if (!ok) {
        ERR_clear_error();
        return kErrorNotEnoughMemory;
    }
    if (SSL_SESSION *session = tls::Pool::Instance().Session(target)) {
        SSL_set_session(ssl, session);
        SSL_SESSION_free(session);
    }
    const Outcome o = Drive(ssl, connection->fd(), deadline, [ssl] { return SSL_connect(ssl); });
    if (o.timed_out) return kErrorSemTimeout;
    if (!o.done) {
        switch (o.failure) {
        case Failure::NoSuchPipe:
            return kErrorFileNotFound;
        case Failure::PeerRefusedUs:
            return kErrorAccessDenied;
        // Closed before a word: the service is at its connection limit or stopping.
        case Failure::Closed:
            return kErrorPipeBusy;
        default:
            return kErrorNotAuthenticated;
        }
    }
    *out = std::move(connection);
    return kErrorSuccess;
}

// Whether an idle connection is still open: the service said nothing since.
bool StillOpen(Connection &c) {
    pollfd p{c.fd(), POLLIN, 0};
    if (::poll(&p, 1, 0) == 0) return true;
    // Something came: late handshake messages are fine, data or an end not.
    unsigned char byte;
    std::size_t got = 0;
    if (SSL_peek_ex(c.ssl(), &byte, 1, &got) == 1) return false;
    bool wants_write = false;
    return tls::Classify(c.ssl(), 0, &wants_write) == Failure::WouldBlock;
}

// One request and its reply on c. *reusable tells whether c may carry another.
std::uint32_t Exchange(Connection &c, const void *request, std::uint32_t request_size, void *reply,
                       std::uint32_t reply_size, std::uint32_t *received, bool *reusable) {
    *reusable = false;
    SSL *ssl = c.ssl();
    unsigned char frame[tls::kFrameHeaderSize + tls::kMaxRecord];
    tls::PutFrameLength(frame, request_size);
    std::memcpy(frame + tls::kFrameHeaderSize, request, request_size);
    const std::size_t frame_size = tls::kFrameHeaderSize + request_size;
    Outcome o = Drive(ssl, c.fd(), std::nullopt, [&] {
        std::size_t n = 0;
        return SSL_write_ex(ssl, frame, frame_size, &n);
    });
    if (!o.done) return ExchangeError(o);

    unsigned char header[tls::kFrameHeaderSize];
    auto read_all = [&](unsigned char *into, std::size_t size) {
        std::size_t have = 0;
        Outcome r{true, false, Failure::Other};
        while (have < size && r.done) {
            r = Drive(ssl, c.fd(), std::nullopt, [&] {
                std::size_t n = 0;
                const int ret = SSL_read_ex(ssl, into + have, size - have, &n);
                have += n;
                return ret;
            });
        }
        return r;
    };
    o = read_all(header, sizeof header);
    if (!o.done) return ExchangeError(o);
    const std::uint32_t length = tls::FrameLength(header);
    // Longer than offered: the rest is not read, so the connection goes.
    if (length > reply_size) return kErrorMoreData;
    if (length > 0) {
        o = read_all(static_cast<unsigned char *>(reply), length);
        if (!o.done) return ExchangeError(o);
    }
    *received = length;
    *reusable = true;
    return kErrorSuccess;
}

} // namespace

std::uint32_t RemotePipeTransact(std::string_view node, std::string_view path, const void *request,
                                 std::uint32_t request_size, void *reply, std::uint32_t reply_size,
                                 std::uint32_t *received) {
    const std::uint16_t port = tls::ServicePort();
    if (port == 0) return kErrorInvalidParameter;
    if (request_size > tls::kMaxRecord) return kErrorInvalidParameter;
    char protocol[tls::kMaxProtocolName + 1];
    const std::size_t protocol_size = tls::ProtocolName(path, protocol);
    if (protocol_size == 0) return kErrorInvalidName;
    // "[fd00::1]" names the address fd00::1.
    if (node.size() >= 2 && node.front() == '[' && node.back() == ']') node = node.substr(1, node.size() - 2);
    if (node.empty() || node.find('\0') != std::string_view::npos) return kErrorBadNetPath;
    const std::string host(node);
    std::string target;
    for (char c : host)
        target += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    // Piece by piece: g++ 12 at -O3 takes a chained "+" here for an
    // overlapping copy (-Wrestrict) that cannot happen.
    target += '|';
    target += std::to_string(port);
    target += '|';
    target.append(protocol, protocol_size);

    tls::Pool &pool = tls::Pool::Instance();
    std::unique_ptr<Connection> connection;
    // A kept connection the service closed meanwhile is dropped before a byte
    // is written to it; one that fails later is not tried again.
    while ((connection = pool.Take(target)) && !StillOpen(*connection))
        connection.reset();
    if (!connection) {
        const Clock::time_point deadline = Clock::now() + kConnectLimit;
        Fd fd;
        if (const std::uint32_t e = ConnectTo(host, port, deadline, &fd); e != 0) return e;
        if (const std::uint32_t e = Handshake(fd, host, target, protocol, protocol_size, deadline, &connection); e != 0)
            return e;
    }
    bool reusable = false;
    const std::uint32_t result = Exchange(*connection, request, request_size, reply, reply_size, received, &reusable);
    if (reusable) {
        // Tickets for resumption came with the reply.
        if (SSL_SESSION *session = SSL_get1_session(connection->ssl())) {
            if (SSL_SESSION_is_resumable(session) == 1)
                pool.KeepSession(target, session);
            else
                SSL_SESSION_free(session);
        }
        pool.Give(target, std::move(connection));
    }
    return result;
}

} // namespace vex::platform::posix
