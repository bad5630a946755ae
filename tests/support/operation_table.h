// Every exported operation that exchanges with the task service, each called
// with sound arguments of its own, behind one signature: node, suffix and the
// result channels. Sweeps that must reach every operation (reply faults,
// hostile arguments, allocation counts) walk this table instead of naming
// each export again. The codes and reply sizes come from the operation table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ostream>

#include "vexsrvapi.h"

namespace vex::test {

// What one row's call is given.
struct CallArgs {
    const char *node = ".";
    const char *suffix = "";
    std::int32_t *value = nullptr;
    std::int32_t *status = nullptr;
    char *message = nullptr;
    std::int32_t message_length = 0;
};

struct OperationRow {
    const char *name;
    std::uint32_t code;      // code word of the (first) request
    std::size_t reply_size;  // the reply buffer the operation offers
    int exchanges;           // requests sent when every reply has status 0
    bool returns_list;       // hands the caller a CStringArray
    bool no_channels;        // reports a failed exchange with the system's text only
    std::int32_t (*call)(const CallArgs &a);
};

namespace operation_rows {

// Records with a task name and a command line set, position -1.
template <typename Record> inline Record SoundTask() {
    Record r;
    std::memset(&r, 0, sizeof r);
    std::strcpy(r.task_name, "LOADER");
    std::strcpy(r.command_line, "loader --once");
    if constexpr (requires { r.position; }) r.position = -1;
    return r;
}

// The caller-owned names of the startup-order request; built on first use.
inline const CStringArray &StartupNames() {
    static const CStringArray *names = [] {
        auto *a = new CStringArray;
        a->Add("LOADER");
        a->Add("ARCHIVER");
        return a;
    }();
    return *names;
}

inline std::int32_t GetTaskList(const CallArgs &a, std::int32_t startup_order) {
    CStringArray *list = nullptr;
    const std::int32_t r = VexSrv_GetTaskList(0, a.node, a.suffix, a.value, a.status, startup_order, &list,
                                              a.message, a.message_length);
    VexSrv_FreeCStringArray(list);
    return r;
}

} // namespace operation_rows

#define VEXSRV_ROW_SIMPLE(fn, code)                                                                          \
    {#fn, code, 536, 1, false, false, [](const CallArgs &a) {                                                 \
         return VexSrv_##fn(0, a.node, a.suffix, a.value, a.status, a.message, a.message_length);            \
     }}
#define VEXSRV_ROW_RECORD(fn, code, Record, no_channels)                                                      \
    {#fn, code, 536, 1, false, no_channels, [](const CallArgs &a) {                                           \
         const Record r = operation_rows::SoundTask<Record>();                                               \
         return VexSrv_##fn(a.node, a.suffix, &r, a.value, a.status, a.message, a.message_length);           \
     }}

inline const OperationRow kOperationRows[] = {
    VEXSRV_ROW_SIMPLE(StartTidewell, 0x00000001),
    VEXSRV_ROW_SIMPLE(StartTidewellFromCluster, 0x00010001),
    VEXSRV_ROW_SIMPLE(StopTidewell, 0x00000004),
    VEXSRV_ROW_SIMPLE(StopTidewellFromCluster, 0x00010004),
    VEXSRV_ROW_SIMPLE(StopExternalTasks, 15),
    VEXSRV_ROW_SIMPLE(UnmapTidewellPrograms, 18),
    {"StopSubsystem", 7, 536, 1, false, false,
     [](const CallArgs &a) {
         return VexSrv_StopSubsystem(0, a.node, a.suffix, "ALARMS", a.value, a.status, a.message,
                                     a.message_length);
     }},
    {"StopSubsystemAndWait", 17, 536, 1, false, false,
     [](const CallArgs &a) {
         return VexSrv_StopSubsystemAndWait(0, a.node, a.suffix, "ALARMS", 1, a.value, a.status, a.message,
                                            a.message_length);
     }},
    {"CheckTidewell", 9, 536, 2, false, false,
     [](const CallArgs &a) {
         std::int32_t second = 0;
         return VexSrv_CheckTidewell(a.node, a.suffix, a.value, &second, a.status, a.message, a.message_length);
     }},
    {"GetTidewellStatus", 19, 536, 1, false, false,
     [](const CallArgs &a) {
         return VexSrv_GetTidewellStatus(a.node, a.suffix, a.value, a.status, a.message, a.message_length);
     }},
    {"SetTidewellStatus", 26, 536, 1, false, false,
     [](const CallArgs &a) {
         // The value goes in as the status to set and comes back as the answer.
         if (a.value != nullptr) *a.value = 1;
         return VexSrv_SetTidewellStatus(a.node, a.suffix, a.value, a.status, a.message, a.message_length);
     }},
    {"GetExclLock", 10, 536, 1, false, false,
     [](const CallArgs &a) {
         std::int32_t token = 0;
         return VexSrv_GetExclLock(a.node, a.suffix, &token, a.value, a.status, a.message, a.message_length);
     }},
    {"GiveExclLock", 11, 536, 1, false, false,
     [](const CallArgs &a) {
         return VexSrv_GiveExclLock(77, a.node, a.suffix, a.value, a.status, a.message, a.message_length);
     }},
    {"GetDBPermis", 22, 8024, 1, false, false,
     [](const CallArgs &a) {
         std::uint32_t first = 0, second = 0;
         return VexSrv_GetDBPermis(a.node, a.suffix, 3, &first, &second, a.value, a.status, a.message,
                                   a.message_length);
     }},
    {"GetDBVersion", 23, 8024, 1, false, false,
     [](const CallArgs &a) {
         std::int32_t v1 = 0, v2 = 0, v3 = 0;
         char text[64];
         return VexSrv_GetDBVersion(a.node, a.suffix, a.status, &v1, &v2, &v3, text, sizeof text, a.message,
                                    a.message_length);
     }},
    {"GetAuditTrailConfiguration", 27, 8024, 1, false, false,
     [](const CallArgs &a) {
         std::int32_t s1 = 0, s2 = 0;
         char f1[32], f2[32];
         return VexSrv_GetAuditTrailConfiguration(a.node, a.suffix, &s1, &s2, f1, f2, a.value, a.status,
                                                  a.message, a.message_length);
     }},
    {"SetAuditTrailConfiguration", 28, 8024, 1, false, false,
     [](const CallArgs &a) {
         return VexSrv_SetAuditTrailConfiguration(a.node, a.suffix, 1, 2, a.value, a.status, a.message,
                                                  a.message_length);
     }},
    {"SaveGroupConfiguration", 34, 536, 1, false, false,
     [](const CallArgs &a) {
         return VexSrv_SaveGroupConfiguration(a.node, a.suffix, "night.grp", a.value, a.status, a.message,
                                              a.message_length);
     }},
    {"LoadGroupConfiguration", 35, 536, 1, false, false,
     [](const CallArgs &a) {
         return VexSrv_LoadGroupConfiguration(a.node, a.suffix, "night.grp", 1, a.value, a.status, a.message,
                                              a.message_length);
     }},
    {"UpdateSnapshotList", 48, 536, 1, false, true,
     [](const CallArgs &a) {
         SnapshotListEntry e;
         std::memset(&e, 0, sizeof e);
         std::strcpy(e.name, "SNAP1");
         return VexSrv_UpdateSnapshotList(a.node, a.suffix, &e, a.value, a.status, a.message, a.message_length);
     }},
    {"AddTaskToList", 0xFFFF0008u, 536, 1, false, false,
     [](const CallArgs &a) {
         const TaskDefinition1 r = operation_rows::SoundTask<TaskDefinition1>();
         return VexSrv_AddTaskToList(a.node, a.suffix, &r, -1, a.value, a.status, a.message, a.message_length);
     }},
    VEXSRV_ROW_RECORD(UpdateTaskList, 25, TaskDefinition1, false),
    VEXSRV_ROW_RECORD(RemoveTaskFromList, 24, TaskDefinition1, false),
    VEXSRV_ROW_RECORD(AddTaskToList2, 30, TaskDefinition2, false),
    VEXSRV_ROW_RECORD(UpdateTaskList2, 31, TaskDefinition2, false),
    VEXSRV_ROW_RECORD(AddTaskToList3, 39, TaskDefinition3, false),
    VEXSRV_ROW_RECORD(UpdateTaskList3, 40, TaskDefinition3, false),
    VEXSRV_ROW_RECORD(AddTaskToList4, 42, TaskDefinition4, false),
    VEXSRV_ROW_RECORD(UpdateTaskList4, 43, TaskDefinition4, false),
    VEXSRV_ROW_RECORD(AddTaskToList5, 45, TaskDefinition5, false),
    VEXSRV_ROW_RECORD(UpdateTaskList5, 46, TaskDefinition5, false),
    {"StartTask", 2, 536, 1, false, true,
     [](const CallArgs &a) {
         const TaskDefinition1 r = operation_rows::SoundTask<TaskDefinition1>();
         return VexSrv_StartTask(0, a.node, a.suffix, &r, a.value, a.status, a.message, a.message_length);
     }},
    {"StartTaskByName", 0x00050003, 536, 1, false, false,
     [](const CallArgs &a) {
         return VexSrv_StartTaskByName(0, a.node, a.suffix, "LOADER", 5, a.value, a.status, a.message,
                                       a.message_length);
     }},
    {"StartTaskByNameNoBlock", 29, 536, 1, false, false,
     [](const CallArgs &a) {
         return VexSrv_StartTaskByNameNoBlock(0, a.node, a.suffix, "LOADER", 0, a.value, a.status, a.message,
                                              a.message_length);
     }},
    {"StopTask", 5, 536, 1, false, false,
     [](const CallArgs &a) {
         return VexSrv_StopTask(0, a.node, a.suffix, "LOADER", 3, a.value, a.status, a.message,
                                a.message_length);
     }},
    VEXSRV_ROW_RECORD(StartProcess, 41, TaskDefinition3, true),
    VEXSRV_ROW_RECORD(StartProcessWithAffinity, 44, TaskDefinition4, true),
    VEXSRV_ROW_RECORD(StartProcessWithAffinityPriority, 47, TaskDefinition5, true),
    {"CheckRunningList", 36, 536, 1, false, false,
     [](const CallArgs &a) {
         return VexSrv_CheckRunningList(a.node, a.suffix, a.value, a.status, a.message, a.message_length);
     }},
    {"SetRegTaskListStartupOrders", 32, 536, 1, false, false,
     [](const CallArgs &a) {
         return VexSrv_SetRegTaskListStartupOrders(a.node, a.suffix, a.value, a.status,
                                                   &operation_rows::StartupNames(), a.message, a.message_length);
     }},
    {"SetStartupAtBoot", 33, 8024, 1, false, false,
     [](const CallArgs &a) {
         return VexSrv_SetStartupAtBoot(a.node, a.suffix, a.value, a.status, 1, a.message, a.message_length);
     }},
    {"GetTaskList", 12, 8024, 1, true, false,
     [](const CallArgs &a) { return operation_rows::GetTaskList(a, 1); }},
    {"GetTaskListInListOrder", 13, 8024, 1, true, false,
     [](const CallArgs &a) { return operation_rows::GetTaskList(a, 0); }},
    {"GetSubSysList", 16, 8024, 1, true, false,
     [](const CallArgs &a) {
         CStringArray *list = nullptr;
         const std::int32_t r = VexSrv_GetSubSysList(0, a.node, a.suffix, a.value, a.status, &list, a.message,
                                                     a.message_length);
         VexSrv_FreeCStringArray(list);
         return r;
     }},
};

#undef VEXSRV_ROW_SIMPLE
#undef VEXSRV_ROW_RECORD

// For test names and failure messages.
inline void PrintTo(const OperationRow &row, std::ostream *os) { *os << row.name; }

} // namespace vex::test
