// The exclusive lock, permissions, version, audit trail, group
// configurations and snapshots: the requests of codes 10, 11, 22, 23, 27,
// 28, 34, 35 and 48.
#include <algorithm>

#include "service/requests.h"
#include "transport/codes.h"

namespace taskd {
namespace {

namespace op = vex::op;
using vex::kLongReplySize;
using vex::kShortReplySize;

constexpr std::int32_t kNoToken = -1;

void TakeLock(Call &c) {
    const auto token = c.svc.lock().Take(TaskService::Clock::now(), c.caller.Describe());
    if (!token) {
        c.reply.PutI32(vex::kRepLockToken, kNoToken);
        return Answer(c.reply, Outcome::Refuse(status::kLockViolation,
                                               "The exclusive lock is held by another caller."));
    }
    c.reply.PutI32(vex::kRepLockToken, *token);
    // The value tells how long the lease lasts without a request carrying
    // the token.
    Answer(c.reply, Outcome::Ok(static_cast<std::int32_t>(c.svc.lock().lease().count())));
}

void GiveLock(Call &c) {
    switch (c.svc.lock().GiveBack(c.req.lock_key(), TaskService::Clock::now())) {
    case ExclusiveLock::Give::Given: return Answer(c.reply, Outcome::Ok());
    case ExclusiveLock::Give::NotHeld:
        return Answer(c.reply, Outcome::Refuse(status::kNotLocked, "The exclusive lock is not held."));
    case ExclusiveLock::Give::WrongToken:
        return Answer(c.reply, Outcome::Refuse(status::kLockViolation,
                                               "The lock token does not match; the exclusive lock stays with its "
                                               "holder."));
    }
}

// The same permission words answer every query value.
void GetPermissions(Call &c) {
    const auto &words = c.svc.config().permissions;
    c.reply.PutU32(layout::kRepPermissionFirst, words[0]);
    c.reply.PutU32(layout::kRepPermissionSecond, words[1]);
    Answer(c.reply, Outcome::Ok());
}

void GetVersion(Call &c) {
    const ServiceConfig &cfg = c.svc.config();
    for (std::size_t i = 0; i < cfg.db_version.size(); ++i)
        c.reply.PutI32(layout::kRepVersionFirst + 4 * i, cfg.db_version[i]);
    const std::size_t room = c.reply.size() - layout::kRepVersionText - 1;
    c.reply.PutText(layout::kRepVersionText, std::string_view(cfg.db_version_text).substr(0, room));
    Answer(c.reply, Outcome::Ok());
}

void PutField(vex::TaskServiceReply &reply, std::size_t off, const std::string &text) {
    const std::size_t n = std::min(text.size(), layout::kAuditFieldSize - 1);
    reply.PutBytes(off, text.data(), n);
}

void GetAuditTrail(Call &c) {
    const AuditConfig &a = c.svc.state().audit;
    c.reply.PutI32(layout::kRepAuditFirst, a.setting_first);
    c.reply.PutI32(layout::kRepAuditSecond, a.setting_second);
    PutField(c.reply, layout::kRepAuditFieldFirst, a.field_first);
    PutField(c.reply, layout::kRepAuditFieldSecond, a.field_second);
    Answer(c.reply, Outcome::Ok());
}

void SetAuditTrail(Call &c) {
    Answer(c.reply, c.svc.SetAuditTrail(c.req.I32(layout::kReqAuditFirst), c.req.I32(layout::kReqAuditSecond)));
}

constexpr std::size_t kFileNameSlot = vex::kRequestSize - layout::kReqFileName;

void SaveGroup(Call &c) {
    const auto name = c.req.Text(layout::kReqFileName, kFileNameSlot);
    if (!name) return Answer(c.reply, Unterminated("file name", kFileNameSlot));
    Answer(c.reply, c.svc.SaveGroup(*name));
}

void LoadGroup(Call &c) {
    const auto name = c.req.Text(layout::kReqFileName, kFileNameSlot);
    if (!name) return Answer(c.reply, Unterminated("file name", kFileNameSlot));
    Answer(c.reply, c.svc.LoadGroup(*name, c.req.I32(layout::kReqLoadOption)));
}

void UpdateSnapshot(Call &c) {
    const auto name = c.req.Text(layout::kReqSnapshotName, layout::kSnapshotNameSize);
    if (!name) return Answer(c.reply, Unterminated("snapshot name", layout::kSnapshotNameSize));
    SnapshotEntry entry;
    entry.name = *name;
    for (std::size_t i = 0; i < entry.options.size(); ++i) entry.options[i] = c.req.U8(layout::kReqSnapshotOptions + i);
    Answer(c.reply, c.svc.UpdateSnapshot(entry));
}

constexpr RequestRow kRows[] = {
    {op::kGetExclLock, "take exclusive lock", kShortReplySize, false, Modifiers::None, TakeLock},
    {op::kGiveExclLock, "give exclusive lock", kShortReplySize, true, Modifiers::None, GiveLock},
    {op::kGetPermissions, "get permissions", kLongReplySize, false, Modifiers::None, GetPermissions},
    {op::kGetVersion, "get version", kLongReplySize, false, Modifiers::None, GetVersion},
    {op::kGetAuditTrail, "get audit trail", kLongReplySize, false, Modifiers::None, GetAuditTrail},
    {op::kSetAuditTrail, "set audit trail", kLongReplySize, false, Modifiers::None, SetAuditTrail},
    {op::kSaveGroup, "save group configuration", kShortReplySize, false, Modifiers::None, SaveGroup},
    {op::kLoadGroup, "load group configuration", kShortReplySize, false, Modifiers::None, LoadGroup},
    {op::kUpdateSnapshotList, "update snapshot list", kShortReplySize, false, Modifiers::None, UpdateSnapshot},
};

} // namespace

std::span<const RequestRow> ControlRequests() { return kRows; }

} // namespace taskd
