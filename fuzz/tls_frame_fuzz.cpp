// The service's reader of request frames from a network peer, fed any bytes
// in pieces of any size: it never reads or writes past its buffer, takes no
// byte after a malformed frame, and every frame it completes has a length
// within its limit whose bytes are those that followed the header.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/posix/tls_frame.h"

using vex::platform::tls::FrameReader;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2) return 0;
    // The first byte sets the limit's low bits and the second the piece size.
    const std::uint32_t limit = 8000u + data[0];
    const std::size_t piece = 1 + data[1] % 64;
    data += 2;
    size -= 2;
    FrameReader reader(limit);
    std::size_t at = 0, frame_start = 0;
    while (at < size) {
        const std::size_t n = size - at < piece ? size - at : piece;
        const std::size_t used = reader.Feed(data + at, n);
        if (used > n) std::abort();
        at += used;
        switch (reader.state()) {
        case FrameReader::State::Complete:
            if (reader.length() == 0 || reader.length() > limit) std::abort();
            if (std::memcmp(reader.body(), data + frame_start + 4, reader.length()) != 0) std::abort();
            reader.Reset();
            frame_start = at;
            break;
        case FrameReader::State::Malformed:
            if (reader.Feed(data, size) != 0) std::abort();
            return 0;
        default:
            if (used != n) std::abort();
            break;
        }
    }
    return 0;
}
