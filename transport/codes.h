// Operation numbers of the task-service protocol (low half of the code word).
#pragma once

#include <cstdint>

namespace vex::op {

inline constexpr std::uint16_t kStartDatabase = 1;      // modifier 1: cluster form
inline constexpr std::uint16_t kStartTask = 2;
inline constexpr std::uint16_t kStartTaskByName = 3;    // modifier: caller's argument
inline constexpr std::uint16_t kStopDatabase = 4;       // modifier 1: cluster form
inline constexpr std::uint16_t kStopTask = 5;
inline constexpr std::uint16_t kCheckSecond = 6;
inline constexpr std::uint16_t kStopSubsystem = 7;
inline constexpr std::uint16_t kAddTask = 8;            // modifier 0xFFFF: append
inline constexpr std::uint16_t kCheckFirst = 9;
inline constexpr std::uint16_t kGetExclLock = 10;
inline constexpr std::uint16_t kGiveExclLock = 11;
inline constexpr std::uint16_t kTaskListByStartupOrder = 12;
inline constexpr std::uint16_t kTaskListInListOrder = 13;
inline constexpr std::uint16_t kStopExternalTasks = 15;
inline constexpr std::uint16_t kSubsystemList = 16;
inline constexpr std::uint16_t kStopSubsystemAndWait = 17;
inline constexpr std::uint16_t kUnmapPrograms = 18;
inline constexpr std::uint16_t kGetStatus = 19;
inline constexpr std::uint16_t kGetPermissions = 22;
inline constexpr std::uint16_t kGetVersion = 23;
inline constexpr std::uint16_t kRemoveTask = 24;
inline constexpr std::uint16_t kUpdateTask = 25;
inline constexpr std::uint16_t kSetStatus = 26;
inline constexpr std::uint16_t kGetAuditTrail = 27;
inline constexpr std::uint16_t kSetAuditTrail = 28;
inline constexpr std::uint16_t kStartTaskByNameNoBlock = 29;
inline constexpr std::uint16_t kAddTask2 = 30;
inline constexpr std::uint16_t kUpdateTask2 = 31;
inline constexpr std::uint16_t kSetStartupOrders = 32;
inline constexpr std::uint16_t kSetStartupAtBoot = 33;
inline constexpr std::uint16_t kSaveGroup = 34;
inline constexpr std::uint16_t kLoadGroup = 35;
inline constexpr std::uint16_t kCheckRunningList = 36;
inline constexpr std::uint16_t kAddTask3 = 39;
inline constexpr std::uint16_t kUpdateTask3 = 40;
inline constexpr std::uint16_t kStartProcess = 41;
inline constexpr std::uint16_t kAddTask4 = 42;
inline constexpr std::uint16_t kUpdateTask4 = 43;
inline constexpr std::uint16_t kStartProcessWithAffinity = 44;
inline constexpr std::uint16_t kAddTask5 = 45;
inline constexpr std::uint16_t kUpdateTask5 = 46;
inline constexpr std::uint16_t kStartProcessWithAffinityPriority = 47;
inline constexpr std::uint16_t kUpdateSnapshotList = 48;

} // namespace vex::op
