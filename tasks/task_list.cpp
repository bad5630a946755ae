// Task list editing: eleven operations that differ only in their row of the
// record-carrying operations (layout, form, code word, requirements).
#include "tasks/task_payload.h"
#include "vexsrvapi.h"

using vex::Outputs;
using vex::tasks::kNoLockKey;
using vex::tasks::kNoPosition;
using vex::tasks::SendTaskRecord;
using vex::tasks::TaskOperationFor;
namespace op = vex::op;

extern "C" {

VEXSRV_API int32_t VEXSRV_CALL VexSrv_AddTaskToList(const char *node, const char *suffix, const TaskDefinition1 *task,
                                                    int32_t position, int32_t *value, int32_t *status, char *message,
                                                    int32_t message_length) {
    return SendTaskRecord(TaskOperationFor(op::kAddTask), kNoLockKey, node, suffix, task, position,
                          Outputs{value, status, message, message_length});
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_UpdateTaskList(const char *node, const char *suffix, const TaskDefinition1 *task,
                                                     int32_t *value, int32_t *status, char *message,
                                                     int32_t message_length) {
    return SendTaskRecord(TaskOperationFor(op::kUpdateTask), kNoLockKey, node, suffix, task, kNoPosition,
                          Outputs{value, status, message, message_length});
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_RemoveTaskFromList(const char *node, const char *suffix,
                                                         const TaskDefinition1 *task, int32_t *value, int32_t *status,
                                                         char *message, int32_t message_length) {
    return SendTaskRecord(TaskOperationFor(op::kRemoveTask), kNoLockKey, node, suffix, task, kNoPosition,
                          Outputs{value, status, message, message_length});
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_AddTaskToList2(const char *node, const char *suffix, const TaskDefinition2 *task,
                                                     int32_t *value, int32_t *status, char *message,
                                                     int32_t message_length) {
    return SendTaskRecord(TaskOperationFor(op::kAddTask2), kNoLockKey, node, suffix, task, kNoPosition,
                          Outputs{value, status, message, message_length});
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_UpdateTaskList2(const char *node, const char *suffix, const TaskDefinition2 *task,
                                                      int32_t *value, int32_t *status, char *message,
                                                      int32_t message_length) {
    return SendTaskRecord(TaskOperationFor(op::kUpdateTask2), kNoLockKey, node, suffix, task, kNoPosition,
                          Outputs{value, status, message, message_length});
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_AddTaskToList3(const char *node, const char *suffix, const TaskDefinition3 *task,
                                                     int32_t *value, int32_t *status, char *message,
                                                     int32_t message_length) {
    return SendTaskRecord(TaskOperationFor(op::kAddTask3), kNoLockKey, node, suffix, task, kNoPosition,
                          Outputs{value, status, message, message_length});
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_UpdateTaskList3(const char *node, const char *suffix, const TaskDefinition3 *task,
                                                      int32_t *value, int32_t *status, char *message,
                                                      int32_t message_length) {
    return SendTaskRecord(TaskOperationFor(op::kUpdateTask3), kNoLockKey, node, suffix, task, kNoPosition,
                          Outputs{value, status, message, message_length});
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_AddTaskToList4(const char *node, const char *suffix, const TaskDefinition4 *task,
                                                     int32_t *value, int32_t *status, char *message,
                                                     int32_t message_length) {
    return SendTaskRecord(TaskOperationFor(op::kAddTask4), kNoLockKey, node, suffix, task, kNoPosition,
                          Outputs{value, status, message, message_length});
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_UpdateTaskList4(const char *node, const char *suffix, const TaskDefinition4 *task,
                                                      int32_t *value, int32_t *status, char *message,
                                                      int32_t message_length) {
    return SendTaskRecord(TaskOperationFor(op::kUpdateTask4), kNoLockKey, node, suffix, task, kNoPosition,
                          Outputs{value, status, message, message_length});
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_AddTaskToList5(const char *node, const char *suffix, const TaskDefinition5 *task,
                                                     int32_t *value, int32_t *status, char *message,
                                                     int32_t message_length) {
    return SendTaskRecord(TaskOperationFor(op::kAddTask5), kNoLockKey, node, suffix, task, kNoPosition,
                          Outputs{value, status, message, message_length});
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_UpdateTaskList5(const char *node, const char *suffix, const TaskDefinition5 *task,
                                                      int32_t *value, int32_t *status, char *message,
                                                      int32_t message_length) {
    return SendTaskRecord(TaskOperationFor(op::kUpdateTask5), kNoLockKey, node, suffix, task, kNoPosition,
                          Outputs{value, status, message, message_length});
}

} // extern "C"
