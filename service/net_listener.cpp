#include "service/net_listener.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/posix/tls_frame.h"
#include "platform/posix/tls_socket.h"
#include "service/log.h"
#include "transport/record.h"

namespace taskd {
namespace {

namespace tls = vex::platform::tls;
using Clock = std::chrono::steady_clock;
using tls::Failure;

constexpr const char *kAccessDenied = "Access is denied.";
constexpr std::int32_t kStatusAccessDenied = 5;
// A refused or failed peer is given this long to read our last words.
constexpr auto kDrainLimit = std::chrono::seconds(2);
// After a failed accept (no descriptors left), accepting waits this long.
constexpr auto kAcceptBackoff = std::chrono::milliseconds(200);
// Refusal lines per address and minute before they are counted instead.
constexpr int kRefusalBurst = 5;
constexpr auto kRefusalWindow = std::chrono::seconds(60);
constexpr std::size_t kMaxRefusalKeys = 1024;

// Epoll tags: connections count up from here; below are the fixed sources.
constexpr std::uint64_t kWakeTag = 0;
constexpr std::uint64_t kFirstListenerTag = 1;
constexpr std::uint64_t kFirstConnectionTag = 1u << 16;

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

std::string Utf8(const ASN1_STRING *s) {
    unsigned char *text = nullptr;
    const int n = ASN1_STRING_to_UTF8(&text, s);
    if (n < 0) return {};
    std::string out(reinterpret_cast<char *>(text), static_cast<std::size_t>(n));
    OPENSSL_free(text);
    return out;
}

// The subject's CNs, then the DNS names.
std::vector<std::string> NamesOf(const X509 *cert) {
    std::vector<std::string> names;
    const X509_NAME *subject = X509_get_subject_name(cert);
    for (int i = -1; (i = X509_NAME_get_index_by_NID(subject, NID_commonName, i)) >= 0;)
        names.push_back(Utf8(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, i))));
    auto *alt = static_cast<GENERAL_NAMES *>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; alt != nullptr && i < sk_GENERAL_NAME_num(alt); ++i) {
        const GENERAL_NAME *g = sk_GENERAL_NAME_value(alt, i);
        if (g->type == GEN_DNS) names.push_back(Utf8(g->d.dNSName));
    }
    GENERAL_NAMES_free(alt);
    return names;
}

// A text from a peer, fit for one log line.
std::string Printable(const std::string &text) {
    std::string out;
    for (char c : text.substr(0, 64))
        out += (c >= 0x20 && c < 0x7F) ? c : '?';
    return out.empty() ? "(no name)" : out;
}

std::string AddressText(const sockaddr_storage &a) {
    char host[INET6_ADDRSTRLEN] = "?";
    std::uint16_t port = 0;
    if (a.ss_family == AF_INET) {
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(&a);
        ::inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
        port = ntohs(v4->sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&a);
    ::inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
    port = ntohs(v6->sin6_port);
    return "[" + std::string(host) + "]:" + std::to_string(port);
}

// The address without the port: what caps and refusal counts go by.
std::string HostOf(const std::string &address) {
    if (!address.empty() && address[0] == '[') return address.substr(1, address.find(']') - 1);
    return address.substr(0, address.rfind(':'));
}

// Log lines about refusals: a burst per address, then one line that counts
// the rest of the minute.
class RefusalLog {
  public:
    void Refuse(const std::string &host, const std::string &line, Clock::time_point now) {
        Flush(now);
        if (entries_.size() >= kMaxRefusalKeys && entries_.find(host) == entries_.end()) {
            ++overflow_;
            return;
        }
        Entry &e = entries_[host];
        if (e.count == 0) e.start = now;
        if (++e.count <= kRefusalBurst)
            log::Warning(line);
        else
            ++e.suppressed;
    }
    // Ends the windows that are over, with their counts.
    void Flush(Clock::time_point now) {
        for (auto it = entries_.begin(); it != entries_.end();) {
            if (now - it->second.start < kRefusalWindow) {
                ++it;
                continue;
            }
            if (it->second.suppressed > 0)
                log::Warning(std::to_string(it->second.suppressed) + " messages suppressed about refusals of " +
                             it->first);
            it = entries_.erase(it);
        }
        if (overflow_ > 0 && entries_.size() < kMaxRefusalKeys) {
            log::Warning(std::to_string(overflow_) + " messages suppressed about refusals of other addresses");
            overflow_ = 0;
        }
    }

  private:
    struct Entry {
        Clock::time_point start;
        int count = 0;
        int suppressed = 0;
    };
    std::map<std::string, Entry> entries_;
    long overflow_ = 0;
};

struct Connection {
    enum class Phase { Handshake, Idle, Reading, Running, Writing, Draining };

    std::uint64_t tag = 0;
    int fd = -1;
    SSL *ssl = nullptr;
    std::string address; // "198.18.0.2:40000"
    std::string host;    // "198.18.0.2"
    std::string name;    // the certificate's name
    Phase phase = Phase::Handshake;
    Clock::time_point deadline;
    bool want_write = false;
    bool close_after_write = false;
    bool fatal = false; // a TLS failure: no more TLS calls
    tls::FrameReader reader{tls::kMaxRecord};
    std::vector<unsigned char> out;
    Clock::time_point started; // of the request in flight

    ~Connection() {
        if (ssl != nullptr) SSL_free(ssl);
        if (fd >= 0) ::close(fd);
    }
};

struct Job {
    std::uint64_t tag;
    std::vector<std::uint8_t> request;
    Caller caller;
};

struct Done {
    std::uint64_t tag;
    std::vector<std::uint8_t> reply;
    RequestSummary summary;
};

} // namespace

bool ParseListenAddress(const std::string &text, std::string *host, std::uint16_t *port) {
    std::string h = text, p;
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos) return false;
        h = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') return false;
            p = rest.substr(1);
            if (p.empty()) return false;
        }
    } else if (std::count(text.begin(), text.end(), ':') == 1) {
        h = text.substr(0, text.find(':'));
        p = text.substr(text.find(':') + 1);
        if (p.empty()) return false;
    }
    if (h.empty()) return false;
    unsigned long value = tls::kDefaultPort;
    if (!p.empty()) {
        if (p.find_first_not_of("0123456789") != std::string::npos || p.size() > 5) return false;
        value = std::stoul(p);
        if (value == 0 || value > 65535) return false;
    }
    *host = h;
    *port = static_cast<std::uint16_t>(value);
    return true;
}

bool CertificateNames(const X509 *cert, const std::string &name) {
    for (const std::string &n : NamesOf(cert))
        if (EqualNoCase(n, name)) return true;
    return false;
}

class NetListener::Impl {
  public:
    Impl(NetConfig config, std::string pipe_name, Handler handler, int workers)
        : config_(std::move(config)), pipe_name_(std::move(pipe_name)), handler_(std::move(handler)),
          worker_count_(workers) {}

    ~Impl() {
        Stop();
        for (int fd : listeners_)
            ::close(fd);
        if (epoll_ >= 0) ::close(epoll_);
        if (wake_ >= 0) ::close(wake_);
        if (ctx_ != nullptr) SSL_CTX_free(ctx_);
    }

    std::string Start() {
        if (std::string why = MakeContext(); !why.empty()) return why;
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (epoll_ < 0 || wake_ < 0) return std::string("epoll: ") + std::strerror(errno);
        Watch(wake_, kWakeTag, EPOLLIN, EPOLL_CTL_ADD);
        for (const std::string &text : config_.listen)
            if (std::string why = Bind(text); !why.empty()) return why;
        loop_ = std::thread([this] { Loop(); });
        for (int i = 0; i < worker_count_; ++i)
            workers_.emplace_back([this] { Work(); });
        return {};
    }

    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
            stopping_ = true;
        }
        jobs_ready_.notify_all();
        for (std::thread &t : workers_)
            t.join();
        Wake();
        if (loop_.joinable()) loop_.join();
        connections_.clear();
    }

    std::vector<std::string> bound_;

  private:
    std::string MakeContext() {
        ctx_ = SSL_CTX_new(TLS_server_method());
        if (ctx_ == nullptr) return "cannot make a TLS context";
        auto fail = [](const std::string &what) { return what + ": " + tls::ErrorQueueText(); };
        if (SSL_CTX_set_min_proto_version(ctx_, TLS1_3_VERSION) != 1 ||
            SSL_CTX_set_max_proto_version(ctx_, TLS1_3_VERSION) != 1)
            return fail("TLS 1.3");
        if (SSL_CTX_use_certificate_chain_file(ctx_, config_.cert_file.c_str()) != 1)
            return fail("--tls-cert " + config_.cert_file);
        if (SSL_CTX_use_PrivateKey_file(ctx_, config_.key_file.c_str(), SSL_FILETYPE_PEM) != 1)
            return fail("--tls-key " + config_.key_file);
        if (SSL_CTX_check_private_key(ctx_) != 1) return fail("--tls-key does not match --tls-cert");
        if (SSL_CTX_load_verify_locations(ctx_, config_.client_ca_file.c_str(), nullptr) != 1)
            return fail("--tls-client-ca " + config_.client_ca_file);
        if (STACK_OF(X509_NAME) *names = SSL_load_client_CA_file(config_.client_ca_file.c_str()))
            SSL_CTX_set_client_CA_list(ctx_, names);
        SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
        // Resumed sessions keep the client's certificate, checked again below.
        static const unsigned char kContext[] = "tidewell-taskd";
        SSL_CTX_set_session_id_context(ctx_, kContext, sizeof kContext - 1);
        SSL_CTX_set_alpn_select_cb(ctx_, SelectProtocol, this);
        const std::size_t n = tls::ProtocolName(pipe_name_, protocol_);
        if (n == 0) return "the pipe name is too long for the network";
        protocol_size_ = n;
        return {};
    }

    // A client that names a pipe names ours, or is told there is none here.
    static int SelectProtocol(SSL *, const unsigned char **out, unsigned char *out_len, const unsigned char *in,
                              unsigned in_len, void *arg) {
        const auto *self = static_cast<Impl *>(arg);
        for (unsigned i = 0; i < in_len;) {
            const unsigned len = in[i];
            if (i + 1 + len > in_len) break;
            if (len == self->protocol_size_ && std::memcmp(in + i + 1, self->protocol_, len) == 0) {
                *out = in + i + 1;
                *out_len = static_cast<unsigned char>(len);
                return SSL_TLSEXT_ERR_OK;
            }
            i += 1 + len;
        }
        return SSL_TLSEXT_ERR_ALERT_FATAL;
    }

    std::string Bind(const std::string &text) {
        std::string host;
        std::uint16_t port = 0;
        if (!ParseListenAddress(text, &host, &port)) return "--listen " + text + ": not ADDRESS[:PORT]";
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE | AI_NUMERICSERV;
        addrinfo *list = nullptr;
        if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list) != 0 || list == nullptr)
            return "--listen " + text + ": not an IPv4 or IPv6 address";
        const int fd = ::socket(list->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
        const int on = 1;
        bool ok = fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
        if (ok && list->ai_family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        ok = ok && ::bind(fd, list->ai_addr, list->ai_addrlen) == 0 && ::listen(fd, 128) == 0;
        const int err = errno;
        sockaddr_storage actual{};
        socklen_t len = sizeof actual;
        if (ok) ::getsockname(fd, reinterpret_cast<sockaddr *>(&actual), &len);
        ::freeaddrinfo(list);
        if (!ok) {
            if (fd >= 0) ::close(fd);
            return "--listen " + text + ": " + std::strerror(err);
        }
        listeners_.push_back(fd);
        Watch(fd, kFirstListenerTag + listeners_.size() - 1, EPOLLIN, EPOLL_CTL_ADD);
        bound_.push_back(AddressText(actual));
        return {};
    }

    void Watch(int fd, std::uint64_t tag, std::uint32_t events, int op) {
        epoll_event ev{};
        ev.events = events;
        ev.data.u64 = tag;
        ::epoll_ctl(epoll_, op, fd, &ev);
    }

    void Wake() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
    }

    // ---- The event loop -------------------------------------------------

    void Loop() {
        epoll_event events[64];
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stopping_) return;
            }
            const Clock::time_point now = Clock::now();
            int wait_ms = 1000;
            for (const auto &[tag, c] : connections_)
                if (c->phase != Connection::Phase::Running)
                    wait_ms = std::min<int>(
                        wait_ms, static_cast<int>(std::max<long long>(
                                     0, std::chrono::ceil<std::chrono::milliseconds>(c->deadline - now).count())));
            if (accept_paused_) wait_ms = std::min(wait_ms, 50);
            const int n = ::epoll_wait(epoll_, events, 64, wait_ms);
            if (n < 0 && errno != EINTR) {
                log::Error(std::string("network: epoll_wait: ") + std::strerror(errno));
                std::this_thread::sleep_for(kAcceptBackoff);
            }
            for (int i = 0; i < n; ++i) {
                const std::uint64_t tag = events[i].data.u64;
                if (tag == kWakeTag) {
                    std::uint64_t count;
                    [[maybe_unused]] const ssize_t r = ::read(wake_, &count, sizeof count);
                    TakeReplies();
                } else if (tag < kFirstConnectionTag) {
                    Accept(listeners_[tag - kFirstListenerTag]);
                } else if (auto it = connections_.find(tag); it != connections_.end()) {
                    Progress(*it->second);
                }
            }
            ResumeAccepting();
            Expire();
            refusals_.Flush(Clock::now());
        }
    }

    void Accept(int listener) {
        if (accept_paused_) return;
        for (;;) {
            sockaddr_storage peer{};
            socklen_t len = sizeof peer;
            const int fd = ::accept4(listener, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) return;
                // No descriptors left, or memory: wait a little, then accept again.
                log::Error(std::string("network: accept: ") + std::strerror(errno) + "; accepting again shortly");
                PauseAccepting();
                return;
            }
            const std::string address = AddressText(peer);
            const std::string host = HostOf(address);
            // Limits first, before anything is spent on the peer.
            const int from_host = per_host_[host];
            if (static_cast<int>(connections_.size()) >= config_.max_connections ||
                from_host >= config_.max_per_address) {
                ::close(fd);
                refusals_.Refuse(host,
                                 "network: refused a connection from " + address +
                                     (from_host >= config_.max_per_address
                                          ? ": " + std::to_string(from_host) + " connections from that address"
                                          : ": " + std::to_string(connections_.size()) + " connections in all"),
                                 Clock::now());
                if (from_host == 0) per_host_.erase(host);
                continue;
            }
            auto c = std::make_unique<Connection>();
            c->tag = next_tag_++;
            c->fd = fd;
            c->address = address;
            c->host = host;
            c->deadline = Clock::now() + config_.handshake_deadline;
            c->ssl = SSL_new(ctx_);
            if (c->ssl == nullptr || !tls::AttachSocket(c->ssl, fd)) {
                ERR_clear_error();
                continue;
            }
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            ++per_host_[host];
            Watch(fd, c->tag, EPOLLIN, EPOLL_CTL_ADD);
            Connection &ref = *c;
            connections_.emplace(c->tag, std::move(c));
            Progress(ref);
        }
    }

    void PauseAccepting() {
        accept_paused_ = true;
        resume_at_ = Clock::now() + kAcceptBackoff;
        for (std::size_t i = 0; i < listeners_.size(); ++i)
            Watch(listeners_[i], kFirstListenerTag + i, 0, EPOLL_CTL_MOD);
    }

    void ResumeAccepting() {
        if (!accept_paused_ || Clock::now() < resume_at_) return;
        accept_paused_ = false;
        for (std::size_t i = 0; i < listeners_.size(); ++i)
            Watch(listeners_[i], kFirstListenerTag + i, EPOLLIN, EPOLL_CTL_MOD);
    }

    void Close(Connection &c) {
        if (--per_host_[c.host] <= 0) per_host_.erase(c.host);
        ::epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
        connections_.erase(c.tag); // c is gone now
    }

    // Sends close_notify where the session allows, ends our side and lets
    // the peer read what we sent before the socket goes.
    void Drain(Connection &c) {
        if (!c.fatal && SSL_is_init_finished(c.ssl)) SSL_shutdown(c.ssl);
        ERR_clear_error();
        ::shutdown(c.fd, SHUT_WR);
        c.phase = Connection::Phase::Draining;
        c.deadline = Clock::now() + kDrainLimit;
        Watch(c.fd, c.tag, EPOLLIN, EPOLL_CTL_MOD);
    }

    void Expire() {
        const Clock::time_point now = Clock::now();
        std::vector<std::uint64_t> late;
        for (const auto &[tag, c] : connections_)
            if (c->phase != Connection::Phase::Running && now >= c->deadline) late.push_back(tag);
        for (std::uint64_t tag : late) {
            Connection &c = *connections_.at(tag);
            switch (c.phase) {
            case Connection::Phase::Handshake:
                refusals_.Refuse(c.host, "network: " + c.address + " did not finish the handshake in time", now);
                Close(c);
                break;
            case Connection::Phase::Reading:
                refusals_.Refuse(
                    c.host,
                    "network: client " + c.name + " at " + c.address + " did not send its whole request in time", now);
                Close(c);
                break;
            case Connection::Phase::Idle:
                log::Debug("network: closing the idle connection of client " + c.name + " at " + c.address);
                Drain(c);
                break;
            default:
                Close(c);
                break;
            }
        }
    }

    // Moves a connection on as far as its socket allows.
    void Progress(Connection &c) {
        for (;;) {
            switch (c.phase) {
            case Connection::Phase::Handshake: {
                const int ret = SSL_accept(c.ssl);
                if (ret == 1) {
                    Admit(c);
                    continue;
                }
                const unsigned long error = ERR_peek_error();
                const char *reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
                bool wants_write = false;
                const Failure f = tls::Classify(c.ssl, ret, &wants_write);
                if (f == Failure::WouldBlock) return Interest(c, wants_write);
                c.fatal = true;
                if (f != Failure::Closed) {
                    const long verify = SSL_get_verify_result(c.ssl);
                    refusals_.Refuse(c.host,
                                     "network: refused " + c.address + ": " +
                                         (verify != X509_V_OK
                                              ? std::string("certificate: ") + X509_verify_cert_error_string(verify)
                                              : std::string("TLS handshake failed: ") +
                                                    (reason != nullptr ? reason : "no reason given")),
                                     Clock::now());
                }
                Drain(c);
                return;
            }
            case Connection::Phase::Idle:
            case Connection::Phase::Reading: {
                unsigned char buf[4096];
                std::size_t got = 0;
                const int ret = SSL_read_ex(c.ssl, buf, sizeof buf, &got);
                if (ret != 1) {
                    bool wants_write = false;
                    const Failure f = tls::Classify(c.ssl, ret, &wants_write);
                    if (f == Failure::WouldBlock) return Interest(c, wants_write);
                    if (c.phase == Connection::Phase::Reading)
                        log::Info("network: client " + c.name + " at " + c.address + " left within a request");
                    return Close(c);
                }
                if (c.phase == Connection::Phase::Idle) {
                    c.phase = Connection::Phase::Reading;
                    c.deadline = Clock::now() + config_.request_deadline;
                    c.started = Clock::now();
                }
                const std::size_t used = c.reader.Feed(buf, got);
                const auto state = c.reader.state();
                // One request at a time: bytes beyond it break the protocol.
                if (state == tls::FrameReader::State::Malformed ||
                    (state == tls::FrameReader::State::Complete && (used < got || SSL_pending(c.ssl) > 0))) {
                    refusals_.Refuse(c.host,
                                     "network: client " + c.name + " at " + c.address +
                                         " sent a malformed or oversize frame",
                                     Clock::now());
                    return Close(c);
                }
                if (state == tls::FrameReader::State::Complete) return Dispatch(c);
                continue;
            }
            case Connection::Phase::Writing: {
                std::size_t n = 0;
                const int ret = SSL_write_ex(c.ssl, c.out.data(), c.out.size(), &n);
                if (ret != 1) {
                    bool wants_write = false;
                    const Failure f = tls::Classify(c.ssl, ret, &wants_write);
                    if (f == Failure::WouldBlock) return Interest(c, wants_write);
                    return Close(c);
                }
                c.out.clear();
                if (c.close_after_write) return Drain(c);
                c.phase = Connection::Phase::Idle;
                c.deadline = Clock::now() + config_.idle_limit;
                c.reader.Reset();
                continue;
            }
            case Connection::Phase::Draining: {
                char sink[4096];
                const ssize_t n = ::recv(c.fd, sink, sizeof sink, 0);
                if (n > 0) continue;
                if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
                return Close(c);
            }
            case Connection::Phase::Running:
                return;
            }
        }
    }

    void Interest(Connection &c, bool write) {
        c.want_write = write;
        Watch(c.fd, c.tag, write ? EPOLLOUT : EPOLLIN, EPOLL_CTL_MOD);
    }

    // After the handshake: the certificate names a client we admit, or the
    // client is told no without a byte of its request read.
    void Admit(Connection &c) {
        const X509 *cert = SSL_get0_peer_certificate(c.ssl);
        const std::vector<std::string> names = cert != nullptr ? NamesOf(cert) : std::vector<std::string>{};
        c.name = Printable(names.empty() ? std::string() : names.front());
        bool allowed = cert != nullptr && config_.allow_clients.empty();
        for (const std::string &name : config_.allow_clients)
            if (cert != nullptr && CertificateNames(cert, name)) allowed = true;
        if (allowed) {
            c.phase = Connection::Phase::Idle;
            c.deadline = Clock::now() + config_.idle_limit;
            log::Debug("network: client " + c.name + " at " + c.address + " connected");
            return;
        }
        refusals_.Refuse(c.host, "network: refused client " + c.name + " at " + c.address + ": not allowed",
                         Clock::now());
        vex::TaskServiceReply reply(vex::kShortReplySize);
        reply.Clear();
        reply.PutI32(vex::kRepStatus, kStatusAccessDenied);
        reply.PutText(vex::kRepText, kAccessDenied);
        QueueFrame(c, reply.data(), reply.size());
        c.close_after_write = true;
    }

    void QueueFrame(Connection &c, const std::uint8_t *data, std::size_t size) {
        c.out.resize(tls::kFrameHeaderSize + size);
        tls::PutFrameLength(c.out.data(), static_cast<std::uint32_t>(size));
        std::memcpy(c.out.data() + tls::kFrameHeaderSize, data, size);
        c.phase = Connection::Phase::Writing;
        c.deadline = Clock::now() + config_.write_deadline;
    }

    void Dispatch(Connection &c) {
        Job job;
        job.tag = c.tag;
        job.request.assign(c.reader.body(), c.reader.body() + c.reader.length());
        job.caller.network_name = c.name;
        job.caller.network_address = c.address;
        c.phase = Connection::Phase::Running;
        // Nothing is read while the request runs; the peer's end shows at the reply.
        Watch(c.fd, c.tag, 0, EPOLL_CTL_MOD);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        jobs_ready_.notify_one();
    }

    void TakeReplies() {
        std::deque<Done> done;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done.swap(done_);
        }
        for (Done &d : done) {
            auto it = connections_.find(d.tag);
            if (it == connections_.end()) continue;
            Connection &c = *it->second;
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - c.started).count();
            char line[200];
            std::snprintf(line, sizeof line, "request 0x%08X (%s) from client %s at %s: status %d, value %d, %.2f ms",
                          static_cast<unsigned>(d.summary.code), d.summary.name, c.name.c_str(), c.address.c_str(),
                          static_cast<int>(d.summary.status), static_cast<int>(d.summary.value), ms);
            log::Info(line);
            QueueFrame(c, d.reply.data(), d.reply.size());
            Progress(c);
        }
    }

    // ---- Workers ----------------------------------------------------------

    void Work() {
        for (;;) {
            Job job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                jobs_ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
                if (jobs_.empty()) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            Done d;
            d.tag = job.tag;
            d.reply = handler_(job.request.data(), job.request.size(), job.caller, &d.summary);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                done_.push_back(std::move(d));
            }
            Wake();
        }
    }

    NetConfig config_;
    std::string pipe_name_;
    Handler handler_;
    int worker_count_;
    SSL_CTX *ctx_ = nullptr;
    char protocol_[tls::kMaxProtocolName + 1] = {};
    std::size_t protocol_size_ = 0;
    int epoll_ = -1;
    int wake_ = -1;
    std::vector<int> listeners_;
    bool accept_paused_ = false;
    Clock::time_point resume_at_;

    // Owned by the loop thread.
    std::unordered_map<std::uint64_t, std::unique_ptr<Connection>> connections_;
    std::map<std::string, int> per_host_;
    std::uint64_t next_tag_ = kFirstConnectionTag;
    RefusalLog refusals_;

    std::mutex mutex_;
    std::condition_variable jobs_ready_;
    bool stopping_ = false;
    std::deque<Job> jobs_;
    std::deque<Done> done_;

    std::thread loop_;
    std::vector<std::thread> workers_;
};

NetListener::NetListener(NetConfig config, std::string pipe_name, Handler handler, int workers)
    : impl_(std::make_unique<Impl>(std::move(config), std::move(pipe_name), std::move(handler), workers)) {}

NetListener::~NetListener() = default;

std::string NetListener::Start() {
    return impl_->Start();
}

const std::vector<std::string> &NetListener::bound() const {
    return impl_->bound_;
}

void NetListener::Stop() {
    impl_->Stop();
}

} // namespace taskd
