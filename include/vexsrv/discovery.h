// vexsrv/discovery.h: finding task services by broadcast, each answer handed
// to a C++ callable as it arrives.
//
// VexSrv_Broadcast calls a plain C function with a 32-bit user value, on the
// caller's thread, before it returns. The user value here is an index into
// this thread's table of running broadcasts, whose entries live in the calls
// themselves: a stray or stale index finds no entry and is ignored, and no
// pointer ever travels through the 32-bit value.
#pragma once

#include "vexsrv/requires_cxx20.h"
#if defined(VEXSRV_CXX_LAYER_USABLE)

#include <concepts>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vexsrv/channels.h"
#include "vexsrv/result.h"
#include "vexsrvapi.h"

namespace vexsrv {

// One answer: the three strings of a service's reply, uninterpreted. The
// reference service sends its node name, its display name and its version.
struct BrowseAnswer {
    std::string first;
    std::string second;
    std::string third;
    friend bool operator==(const BrowseAnswer &, const BrowseAnswer &) = default;
};

namespace detail {

// One running broadcast: the caller's callable, reached through a plain
// function, and the first exception it threw (never let through the C call).
struct BrowseSlot {
    void *handler = nullptr;
    void (*call)(void *handler, const BrowseAnswer &answer) = nullptr;
    std::exception_ptr error;
};

// A slot for a callable that outlives it.
template <class OnAnswer> BrowseSlot SlotFor(OnAnswer &on_answer) {
    BrowseSlot slot;
    slot.handler = &on_answer;
    slot.call = [](void *handler, const BrowseAnswer &answer) { (*static_cast<OnAnswer *>(handler))(answer); };
    return slot;
}

// The broadcasts running on this thread, innermost last. A function's local
// rather than an inline variable: mingw-w64 emits the TLS init function of an
// inline thread_local variable in every object that uses it, so a program of
// two such objects failed to link.
inline std::vector<BrowseSlot *> &RunningBroadcasts() {
    static thread_local std::vector<BrowseSlot *> running;
    return running;
}

// The C callback: finds the call's slot by index and hands the answer on.
// After the callable has thrown, later answers are dropped.
inline void VEXSRV_CDECL BrowseTrampoline(const char *first, const char *second, const char *third,
                                          std::int32_t user_value) {
    std::vector<BrowseSlot *> &running_broadcasts = RunningBroadcasts();
    if (user_value < 0 || static_cast<std::size_t>(user_value) >= running_broadcasts.size()) return;
    BrowseSlot *slot = running_broadcasts[static_cast<std::size_t>(user_value)];
    if (slot == nullptr || slot->error) return;
    try {
        slot->call(slot->handler, BrowseAnswer{first != nullptr ? first : "", second != nullptr ? second : "",
                                               third != nullptr ? third : ""});
    } catch (...) {
        slot->error = std::current_exception();
    }
}

// Enters a slot in this thread's table for the duration of one call.
class SlotEntry {
  public:
    explicit SlotEntry(BrowseSlot &slot) : index_(RunningBroadcasts().size()) { RunningBroadcasts().push_back(&slot); }
    ~SlotEntry() { RunningBroadcasts().resize(index_); }
    SlotEntry(const SlotEntry &) = delete;
    SlotEntry &operator=(const SlotEntry &) = delete;
    std::int32_t index() const { return static_cast<std::int32_t>(index_); }

  private:
    std::size_t index_;
};

// The library's refusal of a target name, the one failure of a broadcast that
// is not the system's.
inline constexpr std::string_view kTargetTooLong = "Domain name or node name cannot be greater than 15 characters";

} // namespace detail

// Broadcasts a browse request to the target (a node or domain name; every
// computer of the local domain when absent) and calls on_answer once per
// answer, in order, on this thread, until no answer has come for
// read_timeout_ms. ok is the library's result; a failure's message comes
// from the library, with the system's text where a system call failed.
// An exception from on_answer stops the delivery of later answers and is
// rethrown once the broadcast has returned.
template <class OnAnswer>
requires std::invocable<OnAnswer &, const BrowseAnswer &> Result<>
Broadcast(const std::optional<std::string> &target, std::uint32_t read_timeout_ms, OnAnswer &&on_answer) {
    detail::BrowseSlot slot = detail::SlotFor(on_answer);
    detail::Channels ch;
    std::int32_t ret = 0;
    {
        const detail::SlotEntry entry(slot);
        ret = VexSrv_Broadcast(target ? target->c_str() : nullptr, read_timeout_ms, detail::BrowseTrampoline,
                               entry.index(), ch.message, detail::kMessageLength);
    }
    if (slot.error) std::rethrow_exception(slot.error);
    Result<> r;
    r.ok = ret != 0;
    r.message = ch.message;
    r.source = r.ok ? Source::Service : (r.message == detail::kTargetTooLong ? Source::Library : Source::System);
    return r;
}

// As above, collecting the answers.
inline Result<std::vector<BrowseAnswer>> Broadcast(const std::optional<std::string> &target,
                                                   std::uint32_t read_timeout_ms) {
    std::vector<BrowseAnswer> answers;
    Result<> r = Broadcast(target, read_timeout_ms, [&answers](const BrowseAnswer &a) { answers.push_back(a); });
    return Result<std::vector<BrowseAnswer>>{r.ok,     r.value,           r.status, std::move(r.message),
                                             r.source, std::move(answers)};
}

} // namespace vexsrv

#endif // VEXSRV_CXX_LAYER_USABLE
