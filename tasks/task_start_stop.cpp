// Task start and stop: from a layout-1 record, or by the task's name.
#include "tasks/task_payload.h"
#include "transport/request_layouts.h"
#include "transport/codes.h"
#include "vexsrvapi.h"

namespace vex::tasks {
namespace {

// By-name requests: the start operations put the name at offset 12; the stop
// puts its stop value there and the name at 16. The name travels whole with
// its NUL, so the request's end bounds its length.
constexpr std::size_t kMaxStartNameChars = kRequestSize - layout::kReqName - 1;
constexpr std::size_t kMaxStopNameChars = kRequestSize - layout::kReqStopName - 1;
static_assert(kMaxStartNameChars == 8011 && kMaxStopNameChars == 8007);
constexpr std::string_view kStartNameTooLong = "task name is too long (at most 8011 characters)";
constexpr std::string_view kStopNameTooLong = "task name is too long (at most 8007 characters)";

std::int32_t SendStartByName(std::uint16_t operation, std::int32_t lock_key, const char *node, const char *suffix,
                             const char *task_name, std::int16_t modifier, const Outputs &out) {
    Operation call(node, suffix, out, kShortReplySize);
    const std::string_view name = task_name != nullptr ? task_name : "";
    if (name.size() > kMaxStartNameChars) return call.Refuse(kStartNameTooLong);
    // Only the modifier's 16 bits reach the code word's high half.
    call.request().SetCode(MakeCode(operation, static_cast<std::uint16_t>(modifier)));
    call.request().SetLockKey(lock_key);
    call.request().PutText(layout::kReqName, name);
    return call.Run();
}

} // namespace
} // namespace vex::tasks

using vex::Outputs;
namespace op = vex::op;
namespace tasks = vex::tasks;

extern "C" {

VEXSRV_API int32_t VEXSRV_CALL VexSrv_StartTask(int32_t lock_key, const char *node, const char *suffix,
                                                const TaskDefinition1 *task, int32_t *value, int32_t *status,
                                                char *message, int32_t message_length) {
    return tasks::SendTaskRecord(tasks::TaskOperationFor(op::kStartTask), lock_key, node, suffix, task, -1,
                                 Outputs{value, status, message, message_length});
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_StartTaskByName(int32_t lock_key, const char *node, const char *suffix,
                                                      const char *task_name, int16_t modifier, int32_t *value,
                                                      int32_t *status, char *message, int32_t message_length) {
    return tasks::SendStartByName(op::kStartTaskByName, lock_key, node, suffix, task_name, modifier,
                                  Outputs{value, status, message, message_length});
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_StartTaskByNameNoBlock(int32_t lock_key, const char *node, const char *suffix,
                                                             const char *task_name, int16_t modifier, int32_t *value,
                                                             int32_t *status, char *message, int32_t message_length) {
    return tasks::SendStartByName(op::kStartTaskByNameNoBlock, lock_key, node, suffix, task_name, modifier,
                                  Outputs{value, status, message, message_length});
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_StopTask(int32_t lock_key, const char *node, const char *suffix,
                                               const char *task_name, int32_t stop_value, int32_t *value,
                                               int32_t *status, char *message, int32_t message_length) {
    vex::Operation call(node, suffix, Outputs{value, status, message, message_length}, vex::kShortReplySize);
    const std::string_view name = task_name != nullptr ? task_name : "";
    if (name.size() > tasks::kMaxStopNameChars) return call.Refuse(tasks::kStopNameTooLong);
    call.request().SetCode(vex::MakeCode(op::kStopTask, vex::kModifierNone));
    call.request().SetLockKey(lock_key);
    call.request().PutI32(vex::layout::kReqStopValue, stop_value);
    call.request().PutText(vex::layout::kReqStopName, name);
    return call.Run();
}

} // extern "C"
