// What the event-loop server serves: listeners that hand over connections,
// each a channel of whole request and reply records with the peer it comes
// from. The local pipe is one listener; the network listeners plug in beside
// it with channels of their own (a TLS handshake in Establish, framed
// records, several exchanges per connection).
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "service/requests.h"

namespace taskd {

// What a peer's connections are counted and its refusals logged under: a
// user id for a local caller, an address for a network one.
struct PeerKey {
    enum class Kind : std::uint8_t { Unknown, LocalUser, NetworkAddress };
    Kind kind = Kind::Unknown;
    std::array<std::uint8_t, 16> bytes{};

    static PeerKey LocalUser(std::uint32_t user_id);
    // An IPv6 address, or an IPv4 one mapped into IPv6.
    static PeerKey NetworkAddress(const std::array<std::uint8_t, 16> &address);
    bool operator==(const PeerKey &) const = default;
    // "user alice (1000)", "address 198.18.0.2", or "unknown callers".
    std::string Describe() const;
};

// How one step of a channel went: done, or it must wait until its descriptor
// is readable or writable, or the peer is gone.
enum class Io { Done, WantRead, WantWrite, Closed };

// One accepted connection. Not thread-safe: one thread at a time drives it.
class Channel {
  public:
    virtual ~Channel() = default;
    virtual int fd() const = 0;
    // Brings the channel to where records flow (a TLS handshake); the peer is
    // final only then. The local pipe has nothing to do. The server drives it
    // from its loop, within the handshake deadline.
    virtual Io Establish() { return Io::Done; }
    // Why the channel's last step failed, as a whole log line (a certificate
    // refused, a malformed frame); empty when the peer only left. Once
    // Establish is done, a text here refuses the peer ("Access is denied.").
    virtual const std::string &failure() const {
        static const std::string none;
        return none;
    }
    // Whether the channel carries several exchanges one after another; it
    // then waits idle between them, under the idle deadline.
    virtual bool KeepsOpen() const { return false; }
    // Whether part of a request has come since the last one (idle no more).
    virtual bool Partial() const { return false; }
    virtual const Caller &caller() const = 0;
    virtual const PeerKey &key() const = 0;
    // One whole request of at most max_size bytes; *truncated tells a longer
    // one (its first max_size bytes are in out).
    virtual Io Receive(std::vector<std::uint8_t> &out, std::size_t max_size, bool *truncated) = 0;
    // One whole reply.
    virtual Io Send(const std::uint8_t *data, std::size_t size) = 0;
    // Before a close without reading: drops what the peer already sent, so
    // that the reply it waits for is not lost to a reset.
    virtual void DiscardInput() {}
    // Ends this side politely before the peer is given linger() to read its
    // last words (a TLS close_notify, the socket's write side shut).
    virtual void Finish() {}
    virtual std::chrono::milliseconds linger() const { return std::chrono::milliseconds(250); }
};

class Listener {
  public:
    virtual ~Listener() = default;
    virtual int fd() const = 0;
    // The next waiting connection, or null with *err: 0 when none waits,
    // else the errno of the failure.
    virtual std::unique_ptr<Channel> Accept(int *err) = 0;
    // What it serves, for the log.
    virtual std::string Describe() const = 0;
};

#if !defined(_WIN32)
// Listens on the local pipe "\\.\pipe\<name>" (an abstract socket). Null
// and *why when it cannot, naming the holder of a name already taken.
std::unique_ptr<Listener> ListenLocalPipe(const std::string &name, std::string *why);
#endif

} // namespace taskd
