// This side's TLS identity for the network path: the CA that signs the
// services' certificates, and this side's own certificate and key. Read once
// per process, on the first call that needs them, from the folder
// VEXSRV_TLS_DIR, else $HOME/.config/vexsrv/tls, else /etc/vexsrv/tls (files
// ca.pem, cert.pem, key.pem). Safe from any number of threads.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>

namespace vex::platform::tls {

// The client context made from the identity, or null when there is no usable
// identity (a file missing or unreadable, a key that does not match).
SSL_CTX *ClientContext();

// The port services listen on: VEXSRV_PORT, else 7470; 0 when VEXSRV_PORT is
// set to something that is no port. Read once per process.
std::uint16_t ServicePort();

} // namespace vex::platform::tls
