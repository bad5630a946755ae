// The server end of the task-service pipe, for the programs that answer the
// library (the reference service and the test services). Not part of the
// library itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vex::platform {

// Who is on the other end, where the platform tells.
struct PeerIdentity {
    bool known = false;
    std::uint32_t user_id = 0;
    std::uint32_t process_id = 0;
};

// One accepted client: one request message in, one reply message out.
class PipeConnection {
  public:
    virtual ~PipeConnection() = default;
    // Reads one message of at most max_size bytes into out. Returns false when
    // the client went away; *truncated tells a longer message (its first
    // max_size bytes are in out).
    virtual bool ReadMessage(std::vector<std::uint8_t> &out, std::size_t max_size, bool *truncated) = 0;
    virtual bool WriteMessage(const void *data, std::size_t size) = 0;
    virtual PeerIdentity Peer() const = 0;
};

class PipeServer {
  public:
    virtual ~PipeServer() = default;
    // Waits for the next client; null once Stop() was called or on failure.
    // Several threads may wait at once.
    virtual std::unique_ptr<PipeConnection> Accept() = 0;
    // Wakes every waiting Accept; later calls return null at once.
    virtual void Stop() = 0;
};

// Serves the local pipe "\\.\pipe\NAME". On failure returns null and the
// Win32 error code in *error (183 when another server already serves NAME).
// On POSIX a client that stays silent for client_silence_seconds while a
// message is read or written is dropped, so it cannot hold a worker.
std::unique_ptr<PipeServer> ServePipe(const std::string &name, std::uint32_t *error,
                                      int client_silence_seconds = 30);

} // namespace vex::platform
