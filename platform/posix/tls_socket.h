// What both ends of a TLS connection share: a socket BIO that never raises
// SIGPIPE (the library runs inside other programs, whose SIGPIPE it must not
// fire), and how a failed TLS call is told apart.
#pragma once

#include <openssl/ssl.h>

#include <string>

namespace vex::platform::tls {

// Attaches the socket fd to ssl for reading and writing with MSG_NOSIGNAL.
// False when no BIO could be made. The socket stays the caller's to close.
bool AttachSocket(SSL *ssl, int fd);

// Why a TLS call failed, as far as the two ends care.
enum class Failure {
    WouldBlock,    // wants the socket readable or writable: try again then
    Closed,        // the peer closed (close_notify, end of stream, reset)
    PeerRefusedUs, // the peer's alert says it refused our certificate
    NoSuchPipe,    // the peer serves no pipe of the name we asked for
    VerifyFailed,  // the peer's certificate did not verify here
    Other,         // any other protocol or system failure
};

// Classifies the result ret of an SSL call on ssl and clears the thread's
// error queue. *wants_write tells a WouldBlock that waits for writability.
Failure Classify(SSL *ssl, int ret, bool *wants_write);

// The first error of the thread's queue as text, and clears the queue: for
// the service's log.
std::string ErrorQueueText();

} // namespace vex::platform::tls
