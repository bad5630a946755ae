// What the request decoders of each family share: the caller, a bounded view
// of the request record, the reply, and the table rows through which the
// dispatcher finds a decoder by operation number.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "service/outcome.h"
#include "service/task_service.h"
#include "transport/record.h"
#include "transport/request_layouts.h"
#include "vexsrvapi.h"

namespace taskd {

// Who sent a request, where the platform tells: a local process, or a peer
// on the network (address and certificate name set, no user id).
struct Caller {
    bool known = false;      // the process id is known
    bool user_known = false; // the user id is known (Linux)
    std::uint32_t user_id = 0;
    std::uint32_t process_id = 0;
    // A caller from the network: its certificate's name and its address.
    std::string network_name;
    std::string network_address;
    // "user alice (1000), process 42", for the log and the lock's holder.
    std::string Describe() const;
};

// The family fields, shared with the library's operations.
namespace layout = vex::layout;

// A request record whose fields are read only within their slots.
class RequestView {
  public:
    explicit RequestView(const vex::TaskServiceRequest &request) : r_(request) {}

    std::uint32_t code() const { return r_.U32(vex::kReqCode); }
    std::uint16_t operation() const { return static_cast<std::uint16_t>(code() & 0xFFFFu); }
    std::uint16_t modifier() const { return static_cast<std::uint16_t>(code() >> 16); }
    std::int32_t lock_key() const { return r_.I32(vex::kReqLockKey); }
    std::int32_t I32(std::size_t off) const { return r_.I32(off); }
    std::uint32_t U32(std::size_t off) const { return r_.U32(off); }
    std::uint16_t U16(std::size_t off) const {
        return off + 2 <= vex::kRequestSize ? vex::Load16(r_.data() + off) : 0;
    }
    std::uint8_t U8(std::size_t off) const { return r_.U8(off); }
    // The text of the slot [off, off + width), up to its zero byte; null when
    // the slot holds no zero byte (the slot ends at the record's end).
    std::optional<std::string> Text(std::size_t off, std::size_t width) const;

  private:
    const vex::TaskServiceRequest &r_;
};

// One request being carried out.
struct Call {
    TaskService &svc;
    const RequestView &req;
    vex::TaskServiceReply &reply;
    const Caller &caller;
};

// Writes status, value and, when not empty, the text (cut to the reply).
void Answer(vex::TaskServiceReply &reply, const Outcome &outcome);

// The refusal of a text slot without its terminating zero.
Outcome Unterminated(std::string_view field, std::size_t width);

// Which modifiers an operation's code word may carry.
enum class Modifiers { None, Cluster, Any };

struct RequestRow {
    std::uint16_t operation;
    const char *name;
    std::size_t reply_size;
    bool carries_lock_key; // checked against the exclusive lock
    Modifiers modifiers;
    void (*handle)(Call &);
};

std::span<const RequestRow> DatabaseRequests();
std::span<const RequestRow> ControlRequests();
std::span<const RequestRow> TaskRequests();
std::span<const RequestRow> ListRequests();

} // namespace taskd
