// Request and reply fields of the operation families beyond the envelope of
// record.h, shared by the library's operations and the service's decoders.
// The task records' own fields are in tasks/task_layouts.h.
#pragma once

#include <cstddef>

#include "transport/record.h"
#include "vexsrvapi.h"

namespace vex::layout {

// A name from 12 to the end of the record: subsystem stop (7, 17) and task
// start by name (3, 29).
inline constexpr std::size_t kReqName = kReqPayload;
// Task stop (5): the stop value at 12, the name from 16.
inline constexpr std::size_t kReqStopValue = kReqPayload;
inline constexpr std::size_t kReqStopName = kReqPayload + 4;
// One word at 12: the status to set (26), the permission query (22), the
// boot switch (33).
inline constexpr std::size_t kReqWord = kReqPayload;

// Audit trail: the request's two settings (28; offset 12 stays 0), and the
// reply's two settings and two 32-byte text fields (27).
inline constexpr std::size_t kReqAuditFirst = 16;
inline constexpr std::size_t kReqAuditSecond = 20;
inline constexpr std::size_t kRepAuditFirst = kRepText;
inline constexpr std::size_t kRepAuditSecond = kRepText + 4;
inline constexpr std::size_t kRepAuditFieldFirst = kRepText + 8;
inline constexpr std::size_t kRepAuditFieldSecond = kRepText + 40;
inline constexpr std::size_t kAuditFieldSize = 32;

// Group configuration (34, 35): the load option at 16, the file name from 24
// to the end of the record.
inline constexpr std::size_t kReqLoadOption = 16;
inline constexpr std::size_t kReqFileName = 24;

// Snapshot update (48): a SnapshotListEntry laid out from 16.
inline constexpr std::size_t kReqSnapshot = 16;
inline constexpr std::size_t kReqSnapshotName = kReqSnapshot + offsetof(SnapshotListEntry, name);
inline constexpr std::size_t kSnapshotNameSize = sizeof(SnapshotListEntry::name);
inline constexpr std::size_t kReqSnapshotOptions = kReqSnapshot + offsetof(SnapshotListEntry, option_a);
static_assert(offsetof(SnapshotListEntry, option_b) == offsetof(SnapshotListEntry, option_a) + 1 &&
              offsetof(SnapshotListEntry, option_c) == offsetof(SnapshotListEntry, option_a) + 2);

// Permissions (22): two 4-byte words; version (23): three numbers and a text.
inline constexpr std::size_t kRepPermissionFirst = kRepText;
inline constexpr std::size_t kRepPermissionSecond = kRepText + 4;
inline constexpr std::size_t kPermissionWordSize = 4;
inline constexpr std::size_t kRepVersionFirst = kRepText;
inline constexpr std::size_t kRepVersionSecond = kRepText + 4;
inline constexpr std::size_t kRepVersionThird = kRepText + 8;
inline constexpr std::size_t kRepVersionText = kRepText + 12;

// Startup orders (32): the packed list from 24 to the end of the record.
inline constexpr std::size_t kReqStartupOrders = 24;

} // namespace vex::layout
