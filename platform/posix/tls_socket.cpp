#include "platform/posix/tls_socket.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <sys/socket.h>

#include <cerrno>
#include <mutex>

namespace vex::platform::tls {
namespace {

int SocketOf(BIO *bio) {
    return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio)));
}

int Write(BIO *bio, const char *data, int size) {
    BIO_clear_retry_flags(bio);
    ssize_t n;
    do {
        n = ::send(SocketOf(bio), data, static_cast<std::size_t>(size), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_write(bio);
    return static_cast<int>(n);
}

int Read(BIO *bio, char *data, int size) {
    BIO_clear_retry_flags(bio);
    ssize_t n;
    do {
        n = ::recv(SocketOf(bio), data, static_cast<std::size_t>(size), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_read(bio);
    if (n == 0) BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
    return static_cast<int>(n);
}

long Control(BIO *bio, int cmd, long, void *) {
    switch (cmd) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_EOF:
        return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0;
    default:
        return 0;
    }
}

int Create(BIO *bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD *Method() {
    static BIO_METHOD *method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "vexsrv socket");
        if (m != nullptr) {
            BIO_meth_set_write(m, Write);
            BIO_meth_set_read(m, Read);
            BIO_meth_set_ctrl(m, Control);
            BIO_meth_set_create(m, Create);
        }
        return m;
    }();
    return method;
}

bool IsRefusalOfOurCertificate(int reason) {
    switch (reason) {
    case SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED:
    case SSL_R_TLSV1_ALERT_UNKNOWN_CA:
    case SSL_R_SSLV3_ALERT_BAD_CERTIFICATE:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_REVOKED:
    case SSL_R_SSLV3_ALERT_UNSUPPORTED_CERTIFICATE:
    case SSL_R_TLSV1_ALERT_ACCESS_DENIED:
    case SSL_R_TLSV1_ALERT_DECRYPT_ERROR:
        return true;
    default:
        return false;
    }
}

} // namespace

bool AttachSocket(SSL *ssl, int fd) {
    BIO_METHOD *method = Method();
    if (method == nullptr) return false;
    BIO *bio = BIO_new(method);
    if (bio == nullptr) return false;
    BIO_set_data(bio, reinterpret_cast<void *>(static_cast<std::intptr_t>(fd)));
    SSL_set_bio(ssl, bio, bio);
    return true;
}

Failure Classify(SSL *ssl, int ret, bool *wants_write) {
    const int code = SSL_get_error(ssl, ret);
    *wants_write = false;
    Failure result = Failure::Other;
    switch (code) {
    case SSL_ERROR_WANT_READ:
        result = Failure::WouldBlock;
        break;
    case SSL_ERROR_WANT_WRITE:
        *wants_write = true;
        result = Failure::WouldBlock;
        break;
    case SSL_ERROR_ZERO_RETURN:
        result = Failure::Closed;
        break;
    case SSL_ERROR_SYSCALL:
        // End of stream, or a socket error such as a reset.
        result = Failure::Closed;
        break;
    case SSL_ERROR_SSL: {
        const unsigned long e = ERR_peek_error();
        const int reason = ERR_GET_REASON(e);
        if (SSL_get_verify_result(ssl) != X509_V_OK || reason == SSL_R_CERTIFICATE_VERIFY_FAILED)
            result = Failure::VerifyFailed;
        else if (IsRefusalOfOurCertificate(reason))
            result = Failure::PeerRefusedUs;
        else if (reason == SSL_R_TLSV1_ALERT_NO_APPLICATION_PROTOCOL)
            result = Failure::NoSuchPipe;
        else if (reason == SSL_R_UNEXPECTED_EOF_WHILE_READING)
            result = Failure::Closed;
        break;
    }
    default:
        break;
    }
    ERR_clear_error();
    return result;
}

std::string ErrorQueueText() {
    const unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0) return "connection closed";
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    return text;
}

} // namespace vex::platform::tls
