// Registered tasks, task start and stop, processes and the running list: the
// requests of codes 2, 3, 5, 8, 24, 25, 29, 30, 31, 36 and 39 to 47. The
// task records are read back by the same field tables that write them.
#include "service/requests.h"
#include "tasks/task_layouts.h"
#include "transport/codes.h"

namespace taskd {
namespace {

namespace op = vex::op;
namespace tasks = vex::tasks;
using vex::kShortReplySize;

const tasks::TaskOperation &RowOf(const Call &c) {
    // The dispatcher sends here only operations that the table carries.
    return *tasks::FindTaskOperation(c.req.operation());
}

// Reads the record a request carries: the fields whose presence bits are
// set, each within its slot. *bits receives the fields read.
std::optional<Outcome> ReadRecord(const Call &c, TaskRecord *task, std::uint32_t *bits) {
    const tasks::TaskOperation &row = RowOf(c);
    const tasks::PayloadForm &form = *row.form;
    const std::uint32_t flags =
        form.flags_width == 2 ? c.req.U16(form.flags_offset) : c.req.U32(form.flags_offset);
    *bits = flags & row.Bits();
    task->layout = row.layout->number;
    for (const tasks::FieldRow &field : row.layout->rows) {
        if ((*bits & field.bit) == 0 || field.field == Field::ServiceSuffix) continue;
        const std::size_t off = form.RequestOffset(field);
        switch (field.kind) {
        case tasks::FieldKind::Text: {
            auto text = c.req.Text(off, field.width);
            if (!text) return Unterminated(field.name, field.width);
            task->Text(field.field) = std::move(*text);
            break;
        }
        case tasks::FieldKind::Int32: task->Number(field.field) = c.req.I32(off); break;
        case tasks::FieldKind::Byte: task->Number(field.field) = c.req.U8(off); break;
        }
    }
    return std::nullopt;
}

void AddTask(Call &c) {
    TaskRecord task;
    std::uint32_t bits = 0;
    if (auto refused = ReadRecord(c, &task, &bits)) return Answer(c.reply, *refused);
    // Layout 1 carries the position in the code word's high half, the later
    // layouts in the record.
    std::int32_t position = -1;
    if (c.req.operation() == op::kAddTask)
        position = static_cast<std::int16_t>(c.req.modifier());
    else if ((bits & tasks::kBitPosition) != 0)
        position = task.Number(Field::Position);
    Answer(c.reply, c.svc.AddTask(std::move(task), position));
}

void UpdateTask(Call &c) {
    TaskRecord task;
    std::uint32_t bits = 0;
    if (auto refused = ReadRecord(c, &task, &bits)) return Answer(c.reply, *refused);
    Answer(c.reply, c.svc.UpdateTask(task, bits));
}

void RemoveTask(Call &c) {
    TaskRecord task;
    std::uint32_t bits = 0;
    if (auto refused = ReadRecord(c, &task, &bits)) return Answer(c.reply, *refused);
    Answer(c.reply, c.svc.RemoveTask(task.name()));
}

void StartTask(Call &c) {
    TaskRecord task;
    std::uint32_t bits = 0;
    if (auto refused = ReadRecord(c, &task, &bits)) return Answer(c.reply, *refused);
    Answer(c.reply, c.svc.StartTaskFromRecord(task));
}

constexpr std::size_t kStartNameSlot = vex::kRequestSize - layout::kReqName;
constexpr std::size_t kStopNameSlot = vex::kRequestSize - layout::kReqStopName;

void StartTaskByName(Call &c) {
    const auto name = c.req.Text(layout::kReqName, kStartNameSlot);
    if (!name) return Answer(c.reply, Unterminated("task name", kStartNameSlot));
    Answer(c.reply, c.svc.StartTaskByName(*name, c.req.modifier(), c.req.operation() == op::kStartTaskByName));
}

void StopTask(Call &c) {
    const auto name = c.req.Text(layout::kReqStopName, kStopNameSlot);
    if (!name) return Answer(c.reply, Unterminated("task name", kStopNameSlot));
    Answer(c.reply, c.svc.StopTask(*name, c.req.I32(layout::kReqStopValue)));
}

void StartProcess(Call &c) {
    TaskRecord task;
    std::uint32_t bits = 0;
    if (auto refused = ReadRecord(c, &task, &bits)) return Answer(c.reply, *refused);
    if (task.Text(Field::CommandLine).empty())
        return Answer(c.reply, Outcome::Refuse(status::kInvalidParameter, "command_line should be defined"));
    LaunchSpec launch;
    launch.command_line = task.Text(Field::CommandLine);
    if (!task.Text(Field::TextE).empty()) launch.command_line += " " + task.Text(Field::TextE);
    launch.working_dir = task.Text(Field::TextA);
    if ((bits & tasks::kBitAffinity) != 0) launch.affinity = static_cast<std::uint32_t>(task.Number(Field::Affinity));
    if ((bits & tasks::kBitPriority) != 0) {
        launch.priority = PriorityFromRequest(task.Number(Field::Priority));
        if (!launch.priority)
            return Answer(c.reply,
                          Outcome::Refuse(status::kInvalidParameter,
                                          "Priority " + std::to_string(task.Number(Field::Priority)) +
                                              " is not known: give -2 (idle) to 2 (high) or a Windows priority "
                                              "class below real time."));
    }
    Answer(c.reply, c.svc.StartProcess(launch));
}

void CheckRunningList(Call &c) { Answer(c.reply, c.svc.CheckRunningList()); }

constexpr RequestRow kRows[] = {
    {op::kStartTask, "start task", kShortReplySize, true, Modifiers::None, StartTask},
    {op::kStartTaskByName, "start task by name", kShortReplySize, true, Modifiers::Any, StartTaskByName},
    {op::kStopTask, "stop task", kShortReplySize, true, Modifiers::None, StopTask},
    {op::kAddTask, "add task", kShortReplySize, false, Modifiers::Any, AddTask},
    {op::kRemoveTask, "remove task", kShortReplySize, false, Modifiers::None, RemoveTask},
    {op::kUpdateTask, "update task", kShortReplySize, false, Modifiers::None, UpdateTask},
    {op::kStartTaskByNameNoBlock, "start task by name, no wait", kShortReplySize, true, Modifiers::Any,
     StartTaskByName},
    {op::kAddTask2, "add task (2)", kShortReplySize, false, Modifiers::None, AddTask},
    {op::kUpdateTask2, "update task (2)", kShortReplySize, false, Modifiers::None, UpdateTask},
    {op::kCheckRunningList, "check running list", kShortReplySize, false, Modifiers::None, CheckRunningList},
    {op::kAddTask3, "add task (3)", kShortReplySize, false, Modifiers::None, AddTask},
    {op::kUpdateTask3, "update task (3)", kShortReplySize, false, Modifiers::None, UpdateTask},
    {op::kStartProcess, "start process", kShortReplySize, false, Modifiers::None, StartProcess},
    {op::kAddTask4, "add task (4)", kShortReplySize, false, Modifiers::None, AddTask},
    {op::kUpdateTask4, "update task (4)", kShortReplySize, false, Modifiers::None, UpdateTask},
    {op::kStartProcessWithAffinity, "start process with affinity", kShortReplySize, false, Modifiers::None,
     StartProcess},
    {op::kAddTask5, "add task (5)", kShortReplySize, false, Modifiers::None, AddTask},
    {op::kUpdateTask5, "update task (5)", kShortReplySize, false, Modifiers::None, UpdateTask},
    {op::kStartProcessWithAffinityPriority, "start process with affinity and priority", kShortReplySize, false,
     Modifiers::None, StartProcess},
};

// Every record-carrying operation of the table has a row here.
constexpr bool EveryRecordOperationServed() {
    for (const tasks::TaskOperation &t : tasks::kTaskOperations) {
        bool found = false;
        for (const RequestRow &r : kRows) found = found || r.operation == t.operation();
        if (!found) return false;
    }
    return true;
}
static_assert(EveryRecordOperationServed());

} // namespace

std::span<const RequestRow> TaskRequests() { return kRows; }

} // namespace taskd
