// The two messages of mailslot discovery, kept apart from any I/O so that the
// library, the task service's responder and the tests share one codec.
//
// BrowseRequest, sent to "\\TARGET\mailslot\Tidewell\Browse". Header words
// are 32-bit unsigned, big-endian (network order):
//   OFFSET SIZE  FIELD
//        0    4  total length: 28 + (n + 1) + (m + 1)
//        4    4  first fixed word, 1
//        8    4  second fixed word, 1
//       12    4  computer-name offset, 28
//       16    4  reply-path offset, 28 + n + 1
//       20    4  reserved, 0
//       24    4  reserved, 0
//       28  n+1  computer name, NUL-terminated
//     29+n  m+1  reply path "\\NAME\mailslot\Tidewell\BrowseR\PID", NUL-terminated
//
// BrowseReply, one per answering service, at most 128 bytes:
//        0    4  total length (written by WriteBrowseReply; never read)
//        4    8  reserved, 0 (never read)
//       12    4  offset of the first string, from the reply's first byte
//       16    4  offset of the second string
//       20    4  offset of the third string
// The strings are NUL-terminated and carried uninterpreted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vex::discovery {

// Request field offsets.
inline constexpr std::size_t kBrqTotalLength = 0;
inline constexpr std::size_t kBrqFixedFirst = 4;
inline constexpr std::size_t kBrqFixedSecond = 8;
inline constexpr std::size_t kBrqNameOffset = 12;
inline constexpr std::size_t kBrqReplyPathOffset = 16;
inline constexpr std::size_t kBrqReservedFirst = 20;
inline constexpr std::size_t kBrqReservedSecond = 24;
inline constexpr std::size_t kBrqHeaderSize = 28;
inline constexpr std::uint32_t kBrqFixedValue = 1;

// The request is built in 200 bytes: enough for a computer name of 34
// characters and the longest reply path that goes with it.
inline constexpr std::size_t kBrowseRequestCapacity = 200;

// Reply field offsets.
inline constexpr std::size_t kBrpTotalLength = 0;
inline constexpr std::size_t kBrpFirst = 12;
inline constexpr std::size_t kBrpSecond = 16;
inline constexpr std::size_t kBrpThird = 20;
inline constexpr std::size_t kBrpHeaderSize = 24;

// Largest answer the reply mailslot takes, and the buffer it is read into.
inline constexpr std::uint32_t kBrowseReplyMax = 128;
inline constexpr std::size_t kReceiveBufferSize = 400;

// Big-endian loads and stores that need no alignment (htonl/ntohl order).
inline void StoreBE32(std::uint8_t *p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}
inline std::uint32_t LoadBE32(const std::uint8_t *p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
}

// Writes a request carrying the computer name and the reply path into out.
// Returns its total length, or 0 (nothing usable written) when it does not fit
// capacity bytes or a text holds a NUL.
std::size_t WriteBrowseRequest(std::string_view computer_name, std::string_view reply_path, std::uint8_t *out,
                               std::size_t capacity);

// A request as a responder sees it; the views point into the parsed bytes.
struct BrowseRequestView {
    std::uint32_t fixed_first = 0;
    std::uint32_t fixed_second = 0;
    std::string_view computer_name;
    std::string_view reply_path;
};

// Reads a received request of size bytes, trusting nothing in it: the total
// length must lie within the bytes received and both strings must start after
// the header and end with a NUL within that length; the reply path must name a
// mailslot ("\\NODE\mailslot\PATH"), so that an answer can go nowhere else.
bool ParseBrowseRequest(const std::uint8_t *data, std::size_t size, BrowseRequestView *out);

// The three strings of one answer, each pointing into the receive buffer.
struct BrowseAnswer {
    const char *first = nullptr;
    const char *second = nullptr;
    const char *third = nullptr;
};

// Checks an answer of received bytes held in a buffer of buffer_size bytes.
// It is accepted only when it holds the whole header, every offset points
// into the bytes received and every string ends with a NUL inside the
// buffer; then out points at the three strings.
bool CheckBrowseReply(const std::uint8_t *buffer, std::size_t buffer_size, std::size_t received, BrowseAnswer *out);

// Writes an answer with the three strings after the header, in order, into
// out. Returns its length, or 0 when it would exceed capacity or the
// mailslot's 128 bytes, or a string holds a NUL.
std::size_t WriteBrowseReply(std::string_view first, std::string_view second, std::string_view third, std::uint8_t *out,
                             std::size_t capacity);

} // namespace vex::discovery
