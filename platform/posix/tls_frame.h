// The records' frame inside a TLS connection: a 4-byte little-endian length,
// then that many bytes. One request frame, then one reply frame, per exchange;
// a connection carries exchanges one after another. Shared by the library's
// network path and the service's listener.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/posix/local_names.h"

namespace vex::platform::tls {

inline constexpr std::size_t kFrameHeaderSize = 4;
// The largest record either side sends: a request record, or a long reply.
inline constexpr std::uint32_t kMaxRecord = 8024;
// The port a service listens on unless told otherwise.
inline constexpr std::uint16_t kDefaultPort = 7470;
// Application protocol named in the handshake: the folded pipe path, so that a
// service answers only for the pipe it serves ("tidewell/pipe/zeptar__tsk_req").
inline constexpr std::string_view kProtocolPrefix = "tidewell/pipe/";
inline constexpr std::size_t kMaxProtocolName = 255;

inline void PutFrameLength(unsigned char *header, std::uint32_t length) {
    for (int i = 0; i < 4; ++i)
        header[i] = static_cast<unsigned char>(length >> (8 * i));
}

inline std::uint32_t FrameLength(const unsigned char *header) {
    return static_cast<std::uint32_t>(header[0]) | static_cast<std::uint32_t>(header[1]) << 8 |
           static_cast<std::uint32_t>(header[2]) << 16 | static_cast<std::uint32_t>(header[3]) << 24;
}

// Builds the protocol name of a pipe path (the NAME of \\NODE\pipe\NAME): the
// name of the local pipe's socket address, so that names fold, and long names
// shorten, exactly as local pipe names do. Returns its length, or 0 when the
// path is empty (kMaxProtocolName + 1 bytes of out, no terminator written).
inline std::size_t ProtocolName(std::string_view path, char *out) {
    sockaddr_un addr{};
    socklen_t addr_len = 0;
    if (posix::AbstractAddress("pipe", path, &addr, &addr_len) != 0) return 0;
    // Past the family and the leading zero byte of the abstract namespace.
    const std::size_t n = addr_len - offsetof(sockaddr_un, sun_path) - 1;
    static_assert(sizeof addr.sun_path <= kMaxProtocolName);
    std::memcpy(out, addr.sun_path + 1, n);
    return n;
}

// Reads one frame from bytes that arrive in pieces of any size. Feed() takes
// what it can use and says how much; a frame whose length is 0 or above the
// limit is malformed, and the reader then takes nothing more.
class FrameReader {
  public:
    enum class State { Header, Body, Complete, Malformed };

    explicit FrameReader(std::uint32_t max_length) : max_(std::min(max_length, kMaxRecord)) {}

    // Consumes bytes of the current frame; returns how many it took.
    std::size_t Feed(const unsigned char *data, std::size_t size) {
        std::size_t used = 0;
        while (used < size && (state_ == State::Header || state_ == State::Body)) {
            if (state_ == State::Header) {
                header_[have_++] = data[used++];
                if (have_ < kFrameHeaderSize) continue;
                length_ = FrameLength(header_);
                have_ = 0;
                state_ = (length_ == 0 || length_ > max_) ? State::Malformed : State::Body;
                continue;
            }
            const std::size_t take = std::min<std::size_t>(size - used, length_ - have_);
            for (std::size_t i = 0; i < take; ++i)
                body_[have_ + i] = data[used + i];
            have_ += static_cast<std::uint32_t>(take);
            used += take;
            if (have_ == length_) state_ = State::Complete;
        }
        return used;
    }

    State state() const { return state_; }
    // Whether any byte of a frame has come.
    bool started() const { return state_ != State::Header || have_ > 0; }
    const unsigned char *body() const { return body_; }
    std::uint32_t length() const { return length_; }
    // Ready for the next frame.
    void Reset() {
        state_ = State::Header;
        have_ = 0;
        length_ = 0;
    }

  private:
    std::uint32_t max_;
    State state_ = State::Header;
    unsigned char header_[kFrameHeaderSize] = {};
    std::uint32_t have_ = 0;
    std::uint32_t length_ = 0;
    unsigned char body_[kMaxRecord] = {};
};

} // namespace vex::platform::tls
