// Mailslot discovery: one browse request to the servers' mailslot, then every
// answer that reaches our reply mailslot, or comes back over the network to
// the socket the request left from, goes to the caller's callback until a
// read times out.
#include "discovery/broadcast.h"

#include <cstring>

#include "discovery/browse_packet.h"
#include "transport/transaction.h"
#include "util/error_desc.h"
#include "util/fixed_text.h"

namespace vex::discovery {
namespace {

using platform::kNoMailslot;
using platform::MailslotHandle;

// "\\" + 15 characters + "\mailslot\Tidewell\Browse", with room to spare.
using BrowsePath = FixedText<64>;
// "\\" + a 34-character name + "\mailslot\Tidewell\BrowseR\" + 8 hex digits.
using ReplyPath = FixedText<80>;
// The longest message: fixed words, a path and a system error text of 255.
using Message = FixedText<512>;

constexpr std::string_view kBrowseMailslot = "\\mailslot\\Tidewell\\Browse";
constexpr std::string_view kReplyMailslot = "\\mailslot\\Tidewell\\BrowseR\\";

void FormatReplyPath(ReplyPath &path, std::string_view node, std::uint32_t process_id) {
    path.Append("\\\\").Append(node).Append(kReplyMailslot).AppendHex(process_id);
}

// What one call holds, from the security on; released in the order browse
// handle, reply mailslot, descriptor, attributes on every path.
class Held {
  public:
    explicit Held(const BroadcastSystem &sys) : security(sys.acquire_security()), sys_(sys) {}
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;
    ~Held() {
        if (browse != kNoMailslot) sys_.close(browse);
        if (reply != kNoMailslot) sys_.close(reply);
        sys_.release_security(security);
    }

    platform::OpenSecurity security;
    MailslotHandle reply = kNoMailslot;
    MailslotHandle browse = kNoMailslot;

  private:
    const BroadcastSystem &sys_;
};

// Formats "<text><path><middle><error text>" and hands it to the caller.
void Fail(char *message, std::int32_t message_length, std::string_view text, std::string_view path,
          std::string_view middle, std::uint32_t error) {
    Message m;
    m.Append(text).Append(path).Append(middle).Append(util::VexWin32ErrorDesc(error).view());
    BoundedCopy(message, message_length, m.view());
}

} // namespace

const BroadcastSystem &SystemCalls() {
    static constexpr BroadcastSystem kSystem = {
        platform::ComputerName,        platform::ProcessId,           platform::AcquireOpenSecurity,
        platform::ReleaseOpenSecurity, platform::CreateLocalMailslot, platform::OpenMailslotForWrite,
        platform::WriteMailslot,       platform::ReadMailslotReply,        platform::CloseMailslot,
    };
    return kSystem;
}

std::int32_t Broadcast(const BroadcastSystem &sys, const char *target, std::uint32_t read_timeout_ms,
                       BrowseCallback callback, std::int32_t user_value, char *message, std::int32_t message_length) {
    if (message != nullptr && message_length > 0) message[0] = 0;
    // Without a callback no answer could go anywhere; refused before any
    // mailslot exists.
    if (callback == nullptr) {
        BoundedCopy(message, message_length, kCallbackMissing);
        return 0;
    }

    char name[kComputerNameRoom] = {};
    std::uint32_t name_length = kComputerNameRoom;
    if (const std::uint32_t e = sys.computer_name(name, &name_length); e != platform::kErrorSuccess) {
        Fail(message, message_length, "Cannot obtain computer name, error = ", "", "", e);
        return 0;
    }
    // The length as reported, but never past the room or a terminator.
    const std::size_t limit = name_length < kComputerNameRoom ? name_length : kComputerNameRoom - 1;
    const void *nul = std::memchr(name, 0, limit);
    const std::string_view computer_name(name, nul != nullptr ? static_cast<const char *>(nul) - name : limit);

    // Only the text before the first "." names the domain or node; a leading
    // "." leaves it empty, and it stays so.
    BrowsePath browse_path;
    std::string_view target_text = "*";
    if (target != nullptr) {
        target_text = target;
        target_text = target_text.substr(0, target_text.find('.'));
        if (target_text.size() > kMaxTargetChars) {
            BoundedCopy(message, message_length, kTargetTooLong);
            return 0;
        }
    }
    browse_path.Append("\\\\").Append(target_text).Append(kBrowseMailslot);

    const std::uint32_t process_id = sys.process_id();
    ReplyPath reply_as_sent;
    FormatReplyPath(reply_as_sent, computer_name, process_id);
    std::uint8_t request[kBrowseRequestCapacity];
    const std::size_t request_size = WriteBrowseRequest(computer_name, reply_as_sent.view(), request, sizeof request);
    ReplyPath reply_as_created;
    FormatReplyPath(reply_as_created, ".", process_id);

    Held held(sys);
    // The reply mailslot exists before the request leaves, so no answer can
    // come before there is a place to receive it.
    if (const std::uint32_t e =
            sys.create_mailslot(reply_as_created.c_str(), kBrowseReplyMax, read_timeout_ms, held.security, &held.reply);
        e != platform::kErrorSuccess) {
        held.reply = kNoMailslot;
        Fail(message, message_length, "Cannot open mailslot(", reply_as_created.view(), ") as server, error = ", e);
        return 0;
    }
    if (const std::uint32_t e = sys.open_for_write(browse_path.c_str(), &held.browse); e != platform::kErrorSuccess) {
        held.browse = kNoMailslot;
        Fail(message, message_length, "Cannot open mailslot ('", browse_path.view(), "') as client, Error = ", e);
        return 0;
    }
    if (const std::uint32_t e = sys.write(held.browse, request, static_cast<std::uint32_t>(request_size));
        e != platform::kErrorSuccess) {
        Fail(message, message_length, "Error in WriteFile to ", browse_path.view(), ". Error = ", e);
        return 0;
    }

    std::uint8_t buffer[kReceiveBufferSize];
    for (;;) {
        std::memset(buffer, 0, sizeof buffer);
        std::uint32_t received = 0;
        const std::uint32_t e = sys.read(held.reply, held.browse, kBrowseReplyMax, buffer, sizeof buffer, &received);
        // 121: nothing came within the read time-out; 5: the mailslot takes
        // no more reads. Either ends the collection, not the success.
        if (e == platform::kErrorSemTimeout || e == platform::kErrorAccessDenied) return 1;
        if (e != platform::kErrorSuccess) {
            Fail(message, message_length, "Error in ReadFile for ", reply_as_created.view(), ". Error = ", e);
            return 0;
        }
        // An answer that could lead the callback outside the buffer is dropped.
        BrowseAnswer answer;
        if (CheckBrowseReply(buffer, sizeof buffer, received, &answer))
            callback(answer.first, answer.second, answer.third, user_value);
    }
}

} // namespace vex::discovery

extern "C" {

VEXSRV_API int32_t VEXSRV_CALL VexSrv_Broadcast(const char *target, uint32_t read_timeout_ms, BrowseCallback callback,
                                                int32_t user_value, char *message, int32_t message_length) {
    return vex::discovery::Broadcast(vex::discovery::SystemCalls(), target, read_timeout_ms, callback, user_value,
                                     message, message_length);
}

} // extern "C"
