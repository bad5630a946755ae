// Database start and stop, subsystems and status: the requests of codes 1,
// 4, 6, 7, 9, 15, 17, 18, 19 and 26.
#include "service/requests.h"
#include "transport/codes.h"

namespace taskd {
namespace {

namespace op = vex::op;
using vex::kShortReplySize;

// The state and its sentence written straight into the reply: the most
// frequent request allocates nothing.
void AnswerDatabaseState(Call &c) {
    const DatabaseState s = c.svc.database_state();
    Answer(c.reply, Outcome::Ok(static_cast<std::int32_t>(s)));
    const std::string_view text = DatabaseStatusText(s);
    c.reply.PutText(vex::kRepText, text.substr(0, c.reply.size() - vex::kRepText - 1));
}

bool IsCluster(const Call &c) { return c.req.modifier() == vex::kModifierCluster; }

void StartDatabase(Call &c) { Answer(c.reply, c.svc.StartDatabase(IsCluster(c))); }
void StopDatabase(Call &c) { Answer(c.reply, c.svc.StopDatabase(IsCluster(c))); }
void StopExternalTasks(Call &c) { Answer(c.reply, c.svc.StopExternalTasks()); }
void UnmapPrograms(Call &c) { Answer(c.reply, c.svc.UnmapPrograms()); }

void StopSubsystem(Call &c) {
    const auto name = c.req.Text(layout::kReqName, vex::kRequestSize - layout::kReqName);
    if (!name) return Answer(c.reply, Unterminated("subsystem name", vex::kRequestSize - layout::kReqName));
    Answer(c.reply, c.svc.StopSubsystem(*name, c.req.operation() == op::kStopSubsystemAndWait));
}

// The first check answers the database's state, the second how many
// registered tasks run.
void CheckFirst(Call &c) { AnswerDatabaseState(c); }
void CheckSecond(Call &c) {
    const std::int32_t n = c.svc.RunningTaskCount();
    Answer(c.reply, Outcome::Ok(n, std::to_string(n) + " registered task(s) running."));
}

void GetStatus(Call &c) { AnswerDatabaseState(c); }

void SetStatus(Call &c) {
    // Setting the status starts or stops the database, but the request has no
    // lock key to show that it comes from the lock's holder.
    if (c.svc.lock().held())
        return Answer(c.reply, Outcome::Refuse(status::kLockViolation,
                                               "The database is locked: its status cannot be set while another "
                                               "caller holds the exclusive lock."));
    Answer(c.reply, c.svc.SetDatabaseStatus(c.req.I32(layout::kReqWord)));
}

constexpr RequestRow kRows[] = {
    {op::kStartDatabase, "start database", kShortReplySize, true, Modifiers::Cluster, StartDatabase},
    {op::kStopDatabase, "stop database", kShortReplySize, true, Modifiers::Cluster, StopDatabase},
    {op::kCheckSecond, "check (second)", kShortReplySize, false, Modifiers::None, CheckSecond},
    {op::kStopSubsystem, "stop subsystem", kShortReplySize, true, Modifiers::None, StopSubsystem},
    {op::kCheckFirst, "check (first)", kShortReplySize, false, Modifiers::None, CheckFirst},
    {op::kStopExternalTasks, "stop external tasks", kShortReplySize, true, Modifiers::None, StopExternalTasks},
    {op::kStopSubsystemAndWait, "stop subsystem and wait", kShortReplySize, true, Modifiers::None, StopSubsystem},
    {op::kUnmapPrograms, "unmap programs", kShortReplySize, true, Modifiers::None, UnmapPrograms},
    {op::kGetStatus, "get status", kShortReplySize, false, Modifiers::None, GetStatus},
    {op::kSetStatus, "set status", kShortReplySize, false, Modifiers::None, SetStatus},
};

} // namespace

std::span<const RequestRow> DatabaseRequests() { return kRows; }

} // namespace taskd
