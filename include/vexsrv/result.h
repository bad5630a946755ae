// vexsrv/result.h: what one call of the C++ layer hands back.
//
// The C operations report through a return value (1 or 0), a value out, a
// status out and a message buffer, and they write each of those only on some
// paths. A Result gathers them and adds the one thing the outputs imply but do
// not state: where the outcome came from.
#pragma once

#include "vexsrv/requires_cxx20.h"
#if defined(VEXSRV_CXX_LAYER_USABLE)

#include <cstdint>
#include <string>
#include <string_view>

namespace vexsrv {

// Where an outcome came from.
enum class Source {
    Service,     // the exchange completed: value, status and message are the service's answer
    System,      // the exchange failed: status is the system error code, message its text
    Library,     // the local library refused the call before sending anything
    Unreachable, // the node did not answer the library's echo; nothing was sent (status 0)
};

// The lower-case name of a source, as the tool prints it.
constexpr std::string_view SourceName(Source source) {
    switch (source) {
    case Source::Service:
        return "service";
    case Source::System:
        return "system";
    case Source::Library:
        return "local library";
    case Source::Unreachable:
        return "local library";
    }
    return "unknown";
}

// The data of an operation that returns nothing beyond value, status and message.
struct NoData {
    friend bool operator==(const NoData &, const NoData &) = default;
};

// The outcome of one operation.
//   ok       the operation returned 1: the only sure sign of success
//   value    the reply's value word; 0 when the call never got a reply
//   status   the reply's status word, or the system error code of a failed
//            exchange; 0 when nothing was sent
//   message  the text the operation left in its message buffer, if any
//   source   where the outcome came from (see Source)
//   data     what the operation returns besides (lists, tokens, versions, ...)
template <class T = NoData> struct Result {
    bool ok = false;
    std::int32_t value = 0;
    std::int32_t status = 0;
    std::string message;
    Source source = Source::Service;
    T data{};

    explicit operator bool() const noexcept { return ok; }
};

} // namespace vexsrv

#endif // VEXSRV_CXX_LAYER_USABLE
