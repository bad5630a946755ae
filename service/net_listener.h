// The service on the network: TLS 1.3 listeners that admit only clients whose
// certificate the configured CA signed (and, when names are given, that carry
// one of them), then carry framed request records, several exchanges per
// connection. They are listeners of the one server (service/connection.h):
// its loop drives their handshakes and its deadlines, caps and workers serve
// their clients as they serve local callers.
#pragma once

#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "service/connection.h"

namespace taskd {

struct NetConfig {
    std::vector<std::string> listen; // ADDRESS[:PORT], [V6ADDRESS]:PORT
    std::string cert_file;
    std::string key_file;
    std::string client_ca_file;
    std::vector<std::string> allow_clients; // empty: every certificate of the CA
};

// Splits "ADDRESS[:PORT]": "198.18.0.1", "198.18.0.1:7471", "fd18::1",
// "[fd18::1]:7471", "node1:7471". False when it is none of these.
bool ParseListenAddress(const std::string &text, std::string *host, std::uint16_t *port);

// Whether the certificate's subject CN or one of its DNS names is name
// (letters in either case).
bool CertificateNames(const X509 *cert, const std::string &name);

// Loads the certificates and binds every address of config, one listener
// each, serving the pipe pipe_name. Returns an empty text, or why it cannot
// serve. A listener's Describe() is the address it bound ("198.18.0.1:7470",
// "[fd18::1]:7470").
std::string ListenNetwork(const NetConfig &config, const std::string &pipe_name,
                          std::vector<std::unique_ptr<Listener>> *out);

} // namespace taskd
