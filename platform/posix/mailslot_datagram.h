// A mailslot message between Linux nodes, carried as one UDP datagram, since
// there is no system service that carries mailslots across the network here.
// The receiver learns from it which mailslot the message is for.
//
//   OFFSET SIZE  FIELD
//        0    4  magic "TWMS"
//        4    1  version, 1
//        5    1  path length p, 1-255
//        6    2  message length l, big-endian; the datagram is exactly 8+p+l
//        8    p  the mailslot's path after "\mailslot\" ("Tidewell\Browse"),
//                no NUL, no control character, no "/"
//      8+p    l  the message, at most 424 bytes (a network mailslot's limit)
//
// docs/discovery.md describes it for other implementations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vex::platform::posix {

inline constexpr std::uint16_t kDefaultMailslotPort = 7471;
inline constexpr std::size_t kDatagramHeaderSize = 8;
inline constexpr std::size_t kMaxDatagramPath = 255;
inline constexpr std::size_t kMaxDatagramMessage = 424;
inline constexpr std::size_t kMaxDatagramSize = kDatagramHeaderSize + kMaxDatagramPath + kMaxDatagramMessage;

// Field offsets.
inline constexpr std::size_t kDgMagic = 0;
inline constexpr std::size_t kDgVersion = 4;
inline constexpr std::size_t kDgPathLength = 5;
inline constexpr std::size_t kDgMessageLength = 6;
inline constexpr std::uint8_t kDatagramVersion = 1;

// The UDP port of network mailslots: VEXSRV_BROWSE_PORT when it holds a
// number from 1 to 65535, else 7471. "0" turns network mailslots off: this
// node's mailslots only (test suites and a computer that must stay quiet).
std::uint16_t NetworkMailslotPort();

// Whether path may travel in a datagram (see the table above).
bool ValidDatagramPath(std::string_view path);

// Writes the datagram for path and message into out. Returns its length, or 0
// when the path is not valid, the message too long or capacity too small.
std::size_t WriteMailslotDatagram(std::string_view path, const void *message, std::size_t message_size,
                                  std::uint8_t *out, std::size_t capacity);

// A received datagram; the views point into the received bytes.
struct MailslotDatagram {
    std::string_view path;
    std::string_view message;
};

// Reads size received bytes, trusting nothing: the magic and version must
// match, the path must be valid and both lengths must add up to size exactly.
bool ParseMailslotDatagram(const std::uint8_t *data, std::size_t size, MailslotDatagram *out);

// Whether two mailslot paths name the same mailslot: equal but for case,
// as mailslot names are.
bool SameMailslotPath(std::string_view a, std::string_view b);

} // namespace vex::platform::posix
