// Process launch and the running-list check. The launches carry a few fields
// of a layout 3-5 record by the same placement as the task list operations.
#include "tasks/task_payload.h"
#include "transport/codes.h"
#include "vexsrvapi.h"

using vex::Outputs;
using vex::tasks::kNoLockKey;
using vex::tasks::kNoPosition;
using vex::tasks::SendTaskRecord;
using vex::tasks::TaskOperationFor;
namespace op = vex::op;

extern "C" {

VEXSRV_API int32_t VEXSRV_CALL VexSrv_StartProcess(const char *node, const char *suffix, const TaskDefinition3 *task,
                                                   int32_t *value, int32_t *status, char *message,
                                                   int32_t message_length) {
    return SendTaskRecord(TaskOperationFor(op::kStartProcess), kNoLockKey, node, suffix, task, kNoPosition,
                          Outputs{value, status, message, message_length});
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_StartProcessWithAffinity(const char *node, const char *suffix,
                                                               const TaskDefinition4 *task, int32_t *value,
                                                               int32_t *status, char *message, int32_t message_length) {
    return SendTaskRecord(TaskOperationFor(op::kStartProcessWithAffinity), kNoLockKey, node, suffix, task, kNoPosition,
                          Outputs{value, status, message, message_length});
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_StartProcessWithAffinityPriority(const char *node, const char *suffix,
                                                                       const TaskDefinition5 *task, int32_t *value,
                                                                       int32_t *status, char *message,
                                                                       int32_t message_length) {
    return SendTaskRecord(TaskOperationFor(op::kStartProcessWithAffinityPriority), kNoLockKey, node, suffix, task,
                          kNoPosition, Outputs{value, status, message, message_length});
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_CheckRunningList(const char *node, const char *suffix, int32_t *value,
                                                       int32_t *status, char *message, int32_t message_length) {
    vex::Operation call(node, suffix, Outputs{value, status, message, message_length}, vex::kShortReplySize);
    call.request().SetCode(vex::MakeCode(op::kCheckRunningList, vex::kModifierNone));
    return call.Run();
}

} // extern "C"
