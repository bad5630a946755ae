#include "service/dispatcher.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "service/os.h"

namespace taskd {
namespace {

constexpr const char *kAccessDenied = "Access is denied.";

const RequestRow *FindRow(std::uint16_t operation) {
    for (const auto family : {DatabaseRequests(), ControlRequests(), TaskRequests(), ListRequests()})
        for (const RequestRow &row : family)
            if (row.operation == operation) return &row;
    return nullptr;
}

// The operations that only read: a successful one is logged at debug level.
constexpr std::uint16_t kReadOnly[] = {vex::op::kCheckFirst,     vex::op::kCheckSecond,
                                       vex::op::kGetStatus,      vex::op::kGetPermissions,
                                       vex::op::kGetVersion,     vex::op::kGetAuditTrail,
                                       vex::op::kTaskListByStartupOrder, vex::op::kTaskListInListOrder,
                                       vex::op::kSubsystemList,  vex::op::kCheckRunningList};

bool ReadOnly(std::uint16_t operation) {
    return std::find(std::begin(kReadOnly), std::end(kReadOnly), operation) != std::end(kReadOnly);
}

// The read-only operations that look at nothing but the state in memory.
// The checks of running children are left out: they reap exited children,
// and recording that writes the state file.
constexpr std::uint16_t kQuick[] = {vex::op::kCheckFirst,    vex::op::kGetStatus,
                                    vex::op::kGetPermissions, vex::op::kGetVersion,
                                    vex::op::kGetAuditTrail,  vex::op::kTaskListByStartupOrder,
                                    vex::op::kTaskListInListOrder, vex::op::kSubsystemList};

bool Quick(std::uint16_t operation) {
    return std::find(std::begin(kQuick), std::end(kQuick), operation) != std::end(kQuick);
}

bool ModifierAllowed(const RequestRow &row, std::uint16_t modifier) {
    switch (row.modifiers) {
    case Modifiers::None: return modifier == vex::kModifierNone;
    case Modifiers::Cluster: return modifier == vex::kModifierNone || modifier == vex::kModifierCluster;
    case Modifiers::Any: return true;
    }
    return false;
}

std::string Hex(std::uint32_t code) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(code));
    return buf;
}

void Finish(const vex::TaskServiceReply &reply, const Outcome &o, RequestSummary *summary,
            std::vector<std::uint8_t> &out) {
    if (summary != nullptr) {
        summary->status = o.status;
        summary->value = reply.Value();
    }
    out.assign(reply.data(), reply.data() + reply.size());
}

} // namespace

std::string Caller::Describe() const {
    // A network peer has a name once its certificate is checked.
    if (!network_address.empty())
        return (network_name.empty() ? "a peer" : "client " + network_name) + " at " + network_address;
    std::string s;
    if (user_known) s = "user " + os::UserName(user_id) + " (" + std::to_string(user_id) + ")";
    if (known) s += (s.empty() ? "" : ", ") + std::string("process ") + std::to_string(process_id);
    return s.empty() ? "an unknown caller" : s;
}

bool AccessPolicy::Permits(const Caller &caller) const {
    // Where users are checked, a caller the platform cannot name is a stranger.
    return !check_users || (caller.user_known && std::find(allowed_users.begin(), allowed_users.end(),
                                                           caller.user_id) != allowed_users.end());
}

std::vector<std::uint8_t> RefusalReply(std::int32_t status, const std::string &text) {
    vex::TaskServiceReply reply(vex::kShortReplySize);
    reply.Clear();
    Answer(reply, Outcome::Refuse(status, text));
    return {reply.data(), reply.data() + reply.size()};
}

std::optional<std::string> RequestView::Text(std::size_t off, std::size_t width) const {
    if (off >= vex::kRequestSize) return std::nullopt;
    const std::size_t room = std::min(width, vex::kRequestSize - off);
    const auto *begin = reinterpret_cast<const char *>(r_.data() + off);
    const void *nul = std::memchr(begin, 0, room);
    if (nul == nullptr) return std::nullopt;
    return std::string(begin, static_cast<const char *>(nul));
}

void Answer(vex::TaskServiceReply &reply, const Outcome &o) {
    reply.PutI32(vex::kRepStatus, o.status);
    reply.PutI32(vex::kRepValue, o.value);
    if (o.text.empty()) return;
    // The text and its zero must fit the reply's text area.
    const std::size_t room = reply.size() - vex::kRepText - 1;
    reply.PutText(vex::kRepText, std::string_view(o.text).substr(0, room));
}

Outcome Unterminated(std::string_view field, std::size_t width) {
    return Outcome::Refuse(status::kInvalidData, "The request's " + std::string(field) +
                                                     " is not terminated within its " + std::to_string(width) +
                                                     " bytes.");
}

std::vector<std::uint8_t> HandleRequest(TaskService &svc, const AccessPolicy &access, const std::uint8_t *data,
                                        std::size_t size, const Caller &caller, RequestSummary *summary) {
    std::vector<std::uint8_t> reply;
    HandleRequest(svc, access, data, size, caller, reply, summary);
    return reply;
}

namespace {

// quick_only: carry out only what cannot wait, the mutex tried at most
// tries times (see HandleRequestIfQuick); false back means nothing was done.
bool Handle(TaskService &svc, const AccessPolicy &access, const std::uint8_t *data, std::size_t size,
            const Caller &caller, std::vector<std::uint8_t> &reply_out, RequestSummary *summary, bool quick_only,
            int tries) {
    const std::uint32_t code = size >= vex::kReqCode + 4 ? vex::Load32(data + vex::kReqCode) : 0;
    const RequestRow *row = FindRow(static_cast<std::uint16_t>(code & 0xFFFFu));
    vex::TaskServiceReply reply(row != nullptr ? row->reply_size : vex::kShortReplySize);
    reply.Clear();
    if (summary != nullptr) {
        summary->code = code;
        summary->name = row != nullptr ? row->name : "unknown";
        summary->read_only = row != nullptr && ReadOnly(row->operation);
    }
    auto refuse = [&](std::int32_t status, std::string text) {
        const Outcome o = Outcome::Refuse(status, std::move(text));
        Answer(reply, o);
        Finish(reply, o, summary, reply_out);
        return true;
    };

    if (!access.Permits(caller))
        return refuse(status::kAccessDenied, kAccessDenied);
    if (size != vex::kRequestSize)
        return refuse(status::kBadLength, "The request has " + std::to_string(size) + " bytes; a request record has " +
                                              std::to_string(vex::kRequestSize) + ".");
    if (row == nullptr)
        return refuse(status::kInvalidFunction, "Request code " + Hex(code) + " is not known to this service.");
    if (!ModifierAllowed(*row, static_cast<std::uint16_t>(code >> 16)))
        return refuse(status::kInvalidFunction, "Request code " + Hex(code) + " is not known to this service: "
                                                "operation " + std::to_string(code & 0xFFFFu) +
                                                    " takes no such modifier.");

    std::unique_lock<std::mutex> lock(svc.mutex(), std::defer_lock);
    if (!quick_only) {
        lock.lock();
    } else {
        if (!Quick(row->operation)) return false;
        while (!lock.try_lock()) {
            if (--tries <= 0) return false;
            std::this_thread::yield();
        }
    }

    vex::TaskServiceRequest request;
    request.PutBytes(0, data, size);
    const RequestView view(request);

    const auto now = TaskService::Clock::now();
    svc.LapseLock(now);
    if (row->carries_lock_key && row->operation != vex::op::kGiveExclLock &&
        !svc.lock().Admit(view.lock_key(), now))
        return refuse(status::kLockViolation,
                      "The database is locked: another caller holds the exclusive lock, and this request does not "
                      "carry its token.");
    Call call{svc, view, reply, caller};
    row->handle(call);
    const Outcome o{reply.Status(), reply.Value(), {}};
    Finish(reply, o, summary, reply_out);
    return true;
}

} // namespace

void HandleRequest(TaskService &svc, const AccessPolicy &access, const std::uint8_t *data, std::size_t size,
                   const Caller &caller, std::vector<std::uint8_t> &reply_out, RequestSummary *summary) {
    Handle(svc, access, data, size, caller, reply_out, summary, false, 1);
}

bool HandleRequestIfQuick(TaskService &svc, const AccessPolicy &access, const std::uint8_t *data,
                          std::size_t size, const Caller &caller, std::vector<std::uint8_t> &reply_out,
                          RequestSummary *summary, int tries) {
    return Handle(svc, access, data, size, caller, reply_out, summary, true, tries);
}

} // namespace taskd
