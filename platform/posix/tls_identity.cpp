#include "platform/posix/tls_identity.h"

#include <openssl/err.h>
#include <sys/stat.h>

#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/posix/tls_frame.h"

namespace vex::platform::tls {
namespace {

bool IsFolder(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string IdentityFolder() {
    if (const char *dir = std::getenv("VEXSRV_TLS_DIR"); dir != nullptr && dir[0] != 0) return dir;
    if (const char *home = std::getenv("HOME"); home != nullptr && home[0] != 0) {
        const std::string own = std::string(home) + "/.config/vexsrv/tls";
        if (IsFolder(own)) return own;
    }
    return "/etc/vexsrv/tls";
}

SSL_CTX *MakeClientContext() {
    const std::string dir = IdentityFolder();
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr) return nullptr;
    const bool ok = SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) == 1 &&
                    SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) == 1 &&
                    SSL_CTX_load_verify_locations(ctx, (dir + "/ca.pem").c_str(), nullptr) == 1 &&
                    SSL_CTX_use_certificate_chain_file(ctx, (dir + "/cert.pem").c_str()) == 1 &&
                    SSL_CTX_use_PrivateKey_file(ctx, (dir + "/key.pem").c_str(), SSL_FILETYPE_PEM) == 1 &&
                    SSL_CTX_check_private_key(ctx) == 1;
    if (!ok) {
        SSL_CTX_free(ctx);
        ERR_clear_error();
        return nullptr;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    // Sessions are kept by the connection pool, one per node.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    return ctx;
}

} // namespace

SSL_CTX *ClientContext() {
    // Made once and kept for the life of the process.
    static SSL_CTX *const ctx = MakeClientContext();
    return ctx;
}

std::uint16_t ServicePort() {
    static const std::uint16_t port = [] {
        const char *text = std::getenv("VEXSRV_PORT");
        if (text == nullptr || text[0] == 0) return kDefaultPort;
        char *end = nullptr;
        const unsigned long value = std::strtoul(text, &end, 10);
        if (*end != 0 || value == 0 || value > 65535 || text[0] == '-' || text[0] == '+') return std::uint16_t{0};
        return static_cast<std::uint16_t>(value);
    }();
    return port;
}

} // namespace vex::platform::tls
