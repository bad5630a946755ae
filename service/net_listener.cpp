#include "service/net_listener.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "platform/posix/tls_frame.h"
#include "platform/posix/tls_socket.h"
#include "service/log.h"

namespace taskd {
namespace {

namespace tls = vex::platform::tls;
using tls::Failure;

// A refused or failed peer is given this long to read our last words.
constexpr auto kDrainLimit = std::chrono::milliseconds(2000);

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
    // Piece by piece: g++ 12 at -O3 misreads a chain of + here (-Wrestrict).
    std::string text = "[";
    text += host;
    text += "]:";
    text += std::to_string(port);
    return text;
}

// The address without the port, as 16 bytes: what caps and refusal counts
// go by.
PeerKey KeyOf(const sockaddr_storage &a) {
    std::array<std::uint8_t, 16> bytes{};
    if (a.ss_family == AF_INET) {
        bytes[10] = bytes[11] = 0xFF;
        std::memcpy(bytes.data() + 12, &reinterpret_cast<const sockaddr_in *>(&a)->sin_addr, 4);
    } else {
        std::memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in6 *>(&a)->sin6_addr, 16);
    }
    return PeerKey::NetworkAddress(bytes);
}

// What the listeners of one service share: the TLS context, the protocol
// name of the pipe served, the names admitted.
struct Context {
    SSL_CTX *ctx = nullptr;
    char protocol[tls::kMaxProtocolName + 1] = {};
    std::size_t protocol_size = 0;
    std::vector<std::string> allow_clients;

    ~Context() {
        if (ctx != nullptr) SSL_CTX_free(ctx);
    }
};

// A client that names a pipe names ours, or is told there is none here.
int SelectProtocol(SSL *, const unsigned char **out, unsigned char *out_len, const unsigned char *in, unsigned in_len,
                   void *arg) {
    const auto *self = static_cast<const Context *>(arg);
    for (unsigned i = 0; i < in_len;) {
        const unsigned len = in[i];
        if (i + 1 + len > in_len) break;
        if (len == self->protocol_size && std::memcmp(in + i + 1, self->protocol, len) == 0) {
            *out = in + i + 1;
            *out_len = static_cast<unsigned char>(len);
            return SSL_TLSEXT_ERR_OK;
        }
        i += 1 + len;
    }
    return SSL_TLSEXT_ERR_ALERT_FATAL;
}

std::string MakeContext(const NetConfig &config, const std::string &pipe_name, Context *c) {
    c->ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX *ctx = c->ctx;
    if (ctx == nullptr) return "cannot make a TLS context";
    auto fail = [](const std::string &what) { return what + ": " + tls::ErrorQueueText(); };
    if (SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) != 1)
        return fail("TLS 1.3");
    if (SSL_CTX_use_certificate_chain_file(ctx, config.cert_file.c_str()) != 1)
        return fail("--tls-cert " + config.cert_file);
    if (SSL_CTX_use_PrivateKey_file(ctx, config.key_file.c_str(), SSL_FILETYPE_PEM) != 1)
        return fail("--tls-key " + config.key_file);
    if (SSL_CTX_check_private_key(ctx) != 1) return fail("--tls-key does not match --tls-cert");
    if (SSL_CTX_load_verify_locations(ctx, config.client_ca_file.c_str(), nullptr) != 1)
        return fail("--tls-client-ca " + config.client_ca_file);
    if (STACK_OF(X509_NAME) *names = SSL_load_client_CA_file(config.client_ca_file.c_str()))
        SSL_CTX_set_client_CA_list(ctx, names);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    // Resumed sessions keep the client's certificate, checked again below.
    static const unsigned char kContext[] = "tidewell-taskd";
    SSL_CTX_set_session_id_context(ctx, kContext, sizeof kContext - 1);
    SSL_CTX_set_alpn_select_cb(ctx, SelectProtocol, c);
    const std::size_t n = tls::ProtocolName(pipe_name, c->protocol);
    if (n == 0) return "the pipe name is too long for the network";
    c->protocol_size = n;
    c->allow_clients = config.allow_clients;
    return {};
}

// One client connection: the handshake, then framed records, one request
// and one reply per exchange, as many exchanges as the client likes.
class TlsChannel final : public Channel {
  public:
    TlsChannel(int fd, SSL *ssl, const sockaddr_storage &peer, std::shared_ptr<const Context> context)
        : fd_(fd), ssl_(ssl), context_(std::move(context)), key_(KeyOf(peer)) {
        caller_.network_address = AddressText(peer);
    }
    ~TlsChannel() override {
        SSL_free(ssl_);
        ::close(fd_);
    }

    int fd() const override { return fd_; }
    const Caller &caller() const override { return caller_; }
    const PeerKey &key() const override { return key_; }
    const std::string &failure() const override { return failure_; }
    bool KeepsOpen() const override { return true; }
    bool Partial() const override { return reader_.started(); }
    std::chrono::milliseconds linger() const override { return kDrainLimit; }

    Io Establish() override {
        const int ret = SSL_accept(ssl_);
        if (ret == 1) {
            Admit();
            return Io::Done;
        }
        const unsigned long error = ERR_peek_error();
        const char *reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
        bool wants_write = false;
        const Failure f = tls::Classify(ssl_, ret, &wants_write);
        if (f == Failure::WouldBlock) return wants_write ? Io::WantWrite : Io::WantRead;
        fatal_ = true;
        if (f != Failure::Closed) {
            const long verify = SSL_get_verify_result(ssl_);
            failure_ = "network: refused " + caller_.network_address + ": " +
                       (verify != X509_V_OK ? std::string("certificate: ") + X509_verify_cert_error_string(verify)
                                            : std::string("TLS handshake failed: ") +
                                                  (reason != nullptr ? reason : "no reason given"));
        }
        return Io::Closed;
    }

    Io Receive(std::vector<std::uint8_t> &out, std::size_t, bool *truncated) override {
        *truncated = false;
        for (;;) {
            unsigned char buf[4096];
            std::size_t got = 0;
            const int ret = SSL_read_ex(ssl_, buf, sizeof buf, &got);
            if (ret != 1) {
                bool wants_write = false;
                const Failure f = tls::Classify(ssl_, ret, &wants_write);
                if (f == Failure::WouldBlock) return wants_write ? Io::WantWrite : Io::WantRead;
                if (f != Failure::Closed) fatal_ = true;
                return Io::Closed;
            }
            const std::size_t used = reader_.Feed(buf, got);
            const auto state = reader_.state();
            // One request at a time: bytes beyond it break the protocol.
            if (state == tls::FrameReader::State::Malformed ||
                (state == tls::FrameReader::State::Complete && (used < got || SSL_pending(ssl_) > 0))) {
                failure_ = "network: client " + caller_.network_name + " at " + caller_.network_address +
                           " sent a malformed or oversize frame";
                return Io::Closed;
            }
            if (state == tls::FrameReader::State::Complete) {
                out.assign(reader_.body(), reader_.body() + reader_.length());
                reader_.Reset();
                return Io::Done;
            }
        }
    }

    Io Send(const std::uint8_t *data, std::size_t size) override {
        // A retry hands the same record again: the frame already built goes.
        if (out_.empty()) {
            if (!SSL_is_init_finished(ssl_) || fatal_) return Io::Closed;
            out_.resize(tls::kFrameHeaderSize + size);
            tls::PutFrameLength(out_.data(), static_cast<std::uint32_t>(size));
            std::memcpy(out_.data() + tls::kFrameHeaderSize, data, size);
        }
        std::size_t n = 0;
        const int ret = SSL_write_ex(ssl_, out_.data(), out_.size(), &n);
        if (ret != 1) {
            bool wants_write = false;
            const Failure f = tls::Classify(ssl_, ret, &wants_write);
            if (f == Failure::WouldBlock) return wants_write ? Io::WantWrite : Io::WantRead;
            fatal_ = true;
            out_.clear();
            return Io::Closed;
        }
        out_.clear();
        return Io::Done;
    }

    void Finish() override {
        // close_notify where the session allows, then our side of the socket.
        if (!fatal_ && SSL_is_init_finished(ssl_)) SSL_shutdown(ssl_);
        ERR_clear_error();
        ::shutdown(fd_, SHUT_WR);
    }

    void DiscardInput() override {
        char sink[4096];
        for (int i = 0; i < 16 && ::recv(fd_, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
        }
    }

  private:
    // After the handshake: the certificate names a client we admit, or the
    // client is refused without a byte of its request read.
    void Admit() {
        const X509 *cert = SSL_get0_peer_certificate(ssl_);
        const std::vector<std::string> names = cert != nullptr ? NamesOf(cert) : std::vector<std::string>{};
        caller_.network_name = Printable(names.empty() ? std::string() : names.front());
        bool allowed = cert != nullptr && context_->allow_clients.empty();
        for (const std::string &name : context_->allow_clients)
            if (cert != nullptr && CertificateNames(cert, name)) allowed = true;
        if (allowed) {
            log::Debug("network: client " + caller_.network_name + " at " + caller_.network_address + " connected");
            return;
        }
        failure_ = "network: refused client " + caller_.network_name + " at " + caller_.network_address +
                   ": not allowed";
    }

    int fd_;
    SSL *ssl_;
    std::shared_ptr<const Context> context_;
    PeerKey key_;
    Caller caller_;
    std::string failure_;
    bool fatal_ = false; // a TLS failure: no more TLS calls but the free
    tls::FrameReader reader_{tls::kMaxRecord};
    std::vector<unsigned char> out_;
};

class TlsListener final : public Listener {
  public:
    TlsListener(int fd, std::string bound, std::shared_ptr<const Context> context)
        : fd_(fd), bound_(std::move(bound)), context_(std::move(context)) {}
    ~TlsListener() override { ::close(fd_); }

    int fd() const override { return fd_; }
    std::string Describe() const override { return bound_; }

    std::unique_ptr<Channel> Accept(int *err) override {
        for (;;) {
            sockaddr_storage peer{};
            socklen_t len = sizeof peer;
            const int fd = ::accept4(fd_, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                // A client that left before it was taken is no failure.
                if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
                *err = errno == EAGAIN || errno == EWOULDBLOCK ? 0 : errno;
                return nullptr;
            }
            SSL *ssl = SSL_new(context_->ctx);
            if (ssl == nullptr || !tls::AttachSocket(ssl, fd)) {
                if (ssl != nullptr) SSL_free(ssl);
                ERR_clear_error();
                ::close(fd);
                *err = ENOMEM;
                return nullptr;
            }
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            *err = 0;
            return std::make_unique<TlsChannel>(fd, ssl, peer, context_);
        }
    }

  private:
    int fd_;
    std::string bound_;
    std::shared_ptr<const Context> context_;
};

// Binds ADDRESS[:PORT]: a listening socket and the address it got.
std::string Bind(const std::string &text, int *out_fd, std::string *bound) {
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
    *out_fd = fd;
    *bound = AddressText(actual);
    return {};
}

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

std::string ListenNetwork(const NetConfig &config, const std::string &pipe_name,
                          std::vector<std::unique_ptr<Listener>> *out) {
    auto context = std::make_shared<Context>();
    if (std::string why = MakeContext(config, pipe_name, context.get()); !why.empty()) return why;
    for (const std::string &text : config.listen) {
        int fd = -1;
        std::string bound;
        if (std::string why = Bind(text, &fd, &bound); !why.empty()) return why;
        out->push_back(std::make_unique<TlsListener>(fd, std::move(bound), context));
    }
    return {};
}

} // namespace taskd
