// Kept-open TLS connections of the network path, a few per node, port and
// pipe, with the session to resume when a new one is made. Bounded, safe from
// many threads; a connection is held by one call at a time. Idle connections
// are closed by later calls after kIdleLimit (the service closes its side of
// an idle connection after 30 s; one idle nearly that long is never reused, so
// a request never meets that close).
#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vex::platform::tls {

using Clock = std::chrono::steady_clock;

inline constexpr auto kIdleLimit = std::chrono::seconds(30);
inline constexpr auto kReuseLimit = std::chrono::seconds(25);
inline constexpr std::size_t kMaxIdlePerTarget = 8;
inline constexpr std::size_t kMaxTargets = 32;

// One TLS connection: owns its socket and its SSL object.
class Connection {
  public:
    Connection(int fd, SSL *ssl) : fd_(fd), ssl_(ssl) {}
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    int fd() const { return fd_; }
    SSL *ssl() const { return ssl_; }
    Clock::time_point idle_since;

  private:
    int fd_;
    SSL *ssl_;
};

class Pool {
  public:
    // The process's pool, made on first use and kept to its end.
    static Pool &Instance();

    // An idle connection to target that is young enough to reuse, or null.
    // Closes the ones too old on the way.
    std::unique_ptr<Connection> Take(const std::string &target);
    // Gives a connection back after a complete exchange; closed when the
    // target already keeps its share.
    void Give(const std::string &target, std::unique_ptr<Connection> connection);
    // The session to resume for a new connection to target (a reference the
    // caller frees), or null.
    SSL_SESSION *Session(const std::string &target);
    // Keeps session (the caller's reference passes to the pool).
    void KeepSession(const std::string &target, SSL_SESSION *session);

    // For tests: idle connections held now for target.
    std::size_t IdleCount(const std::string &target);

  private:
    struct Target {
        std::string name;
        std::vector<std::unique_ptr<Connection>> idle; // oldest first
        SSL_SESSION *session = nullptr;
        Clock::time_point used;
    };
    Target &Find(const std::string &name, std::vector<std::unique_ptr<Connection>> *closing);
    void Sweep(Clock::time_point now, std::vector<std::unique_ptr<Connection>> *closing);

    std::mutex mutex_;
    std::list<Target> targets_; // most recently used first
};

} // namespace vex::platform::tls
