// The service on the network: TLS 1.3 listeners that admit only clients whose
// certificate the configured CA signed (and, when names are given, that carry
// one of them), then carry framed request records to the request core. One
// event-loop thread owns every connection, so a silent peer costs a socket,
// never a thread; requests run on a few worker threads of their own.
#pragma once

#include <openssl/x509.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "service/dispatcher.h"

namespace taskd {

struct NetConfig {
    std::vector<std::string> listen; // ADDRESS[:PORT], [V6ADDRESS]:PORT
    std::string cert_file;
    std::string key_file;
    std::string client_ca_file;
    std::vector<std::string> allow_clients; // empty: every certificate of the CA
    int max_per_address = 16;
    int max_connections = 256;
    std::chrono::milliseconds handshake_deadline{10000};
    std::chrono::milliseconds request_deadline{5000};
    std::chrono::milliseconds idle_limit{30000};
    // A reply the client does not take within this is dropped with it.
    std::chrono::milliseconds write_deadline{30000};
};

// Splits "ADDRESS[:PORT]": "198.18.0.1", "198.18.0.1:7471", "fd18::1",
// "[fd18::1]:7471", "node1:7471". False when it is none of these.
bool ParseListenAddress(const std::string &text, std::string *host, std::uint16_t *port);

// Whether the certificate's subject CN or one of its DNS names is name
// (letters in either case).
bool CertificateNames(const X509 *cert, const std::string &name);

class NetListener {
  public:
    // Answers one request of a network caller, on a worker thread.
    using Handler = std::function<std::vector<std::uint8_t>(const std::uint8_t *data, std::size_t size,
                                                            const Caller &caller, RequestSummary *summary)>;

    NetListener(NetConfig config, std::string pipe_name, Handler handler, int workers);
    ~NetListener();
    NetListener(const NetListener &) = delete;
    NetListener &operator=(const NetListener &) = delete;

    // Loads the certificates and binds every address. Returns an empty text,
    // or why it cannot serve.
    std::string Start();
    // The addresses bound, as "198.18.0.1:7470" and "[fd18::1]:7470".
    const std::vector<std::string> &bound() const;
    // Closes every connection; requests in flight finish first.
    void Stop();

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace taskd
