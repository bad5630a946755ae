// vexsrv/channels.h: the result channels of one C call and their conversion
// into a Result. Internal to the C++ layer.
#pragma once

#include "vexsrv/requires_cxx20.h"
#if defined(VEXSRV_CXX_LAYER_USABLE)

#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "vexsrv/result.h"

namespace vexsrv::detail {

// Put into an output before the call: an output that still holds it afterwards
// was not written. The service could answer this very number; it would then be
// taken for an unwritten output, which only changes the reported source.
inline constexpr std::int32_t kUnwritten = std::numeric_limits<std::int32_t>::min();

// Room for the longest text a reply carries (the 8000-byte data area).
inline constexpr std::int32_t kMessageLength = 8000;

// The value out, status out and message buffer handed to one C call.
struct Channels {
    std::int32_t value = kUnwritten;
    std::int32_t status = kUnwritten;
    // One byte more than offered: the bounded copy leaves no terminator when a
    // text fills the length, and this last byte always stays zero.
    char message[kMessageLength + 1] = {};

    // Marks the message buffer's last offered byte. Every copy into the
    // buffer (the bounded copy) fills it to its whole length, so a mark still
    // in place after the call shows that no text was copied at all.
    void MarkMessage() { message[kMessageLength - 1] = kMessageMark; }
    bool TextCopied() const { return message[kMessageLength - 1] != kMessageMark; }
    static constexpr char kMessageMark = 0x7F;
};

// A Result refused by the C++ layer itself, before any C call.
template <class T = NoData> Result<T> Refused(std::string message) {
    Result<T> r;
    r.message = std::move(message);
    r.source = Source::Library;
    return r;
}

// Turns what one C call left behind into a Result. `replied` is the
// operation's own sign that a reply reached its outputs (for most operations:
// the value was written); a status left unwritten means nothing was sent.
template <class T = NoData>
Result<T> ConcludeReplied(std::int32_t returned, const Channels &ch, bool replied, T data = {}) {
    Result<T> r;
    r.ok = returned != 0;
    r.value = ch.value == kUnwritten ? 0 : ch.value;
    r.status = ch.status == kUnwritten ? 0 : ch.status;
    r.message = ch.message;
    if (r.ok)
        r.source = Source::Service;
    else if (ch.status == kUnwritten)
        r.source = Source::Library;
    else if (!replied)
        r.source = Source::System;
    else
        r.source = Source::Service;
    r.data = std::move(data);
    return r;
}

// The common case: a reply wrote the value out.
template <class T = NoData> Result<T> Conclude(std::int32_t returned, const Channels &ch, T data = {}) {
    return ConcludeReplied<T>(returned, ch, ch.value != kUnwritten, std::move(data));
}

} // namespace vexsrv::detail

#endif // VEXSRV_CXX_LAYER_USABLE
