// What the service keeps across restarts: the registered tasks with their
// startup orders, the boot flag, the audit-trail configuration and the
// snapshot list; and its JSON form, which the state file and the group
// configuration files use.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tasks/task_layouts.h"

namespace taskd {

using vex::tasks::Field;

// The fields of a task record as the service keeps them: every field of the
// widest layout but the service suffix, which only addresses the service.
inline constexpr std::size_t kTextFields = static_cast<std::size_t>(Field::TextF) + 1;
inline constexpr std::size_t kNumberFields = static_cast<std::size_t>(Field::ByteC) - kTextFields + 1;
static_assert(static_cast<std::size_t>(Field::Position) == kTextFields, "texts come first, then numbers");

struct TaskRecord {
    std::array<std::string, kTextFields> texts{};
    std::array<std::int32_t, kNumberFields> numbers{};
    int layout = 1;         // the layout it was registered with
    int startup_order = 0;  // 1 = starts first; 0 = after every ordered task

    static bool IsText(Field f) { return static_cast<std::size_t>(f) < kTextFields; }
    std::string &Text(Field f) { return texts[static_cast<std::size_t>(f)]; }
    const std::string &Text(Field f) const { return texts[static_cast<std::size_t>(f)]; }
    std::int32_t &Number(Field f) { return numbers[static_cast<std::size_t>(f) - kTextFields]; }
    std::int32_t Number(Field f) const { return numbers[static_cast<std::size_t>(f) - kTextFields]; }
    const std::string &name() const { return Text(Field::TaskName); }
};

struct AuditConfig {
    std::int32_t setting_first = 0;
    std::int32_t setting_second = 0;
    std::string field_first;  // the node that last changed it, at most 31 characters
    std::string field_second; // when, as a UTC time stamp
};

struct SnapshotEntry {
    std::string name;
    std::array<std::uint8_t, 3> options{};
};

// A child that runs for the service, kept so that a service started again
// after a crash finds it (the same process id and start time) instead of
// starting it a second time.
struct RunningEntry {
    enum class Kind { Task, Process, Database };
    Kind kind = Kind::Task;
    std::string name;            // the task's; empty for the others
    bool from_record = false;    // a task started from a record, not registered
    std::uint32_t pid = 0;
    std::uint64_t start_time = 0; // as the system counts it (see ChildProcess)
    bool operator==(const RunningEntry &) const = default;
};

struct PersistentState {
    std::vector<TaskRecord> tasks; // in list order
    bool boot_start = false;
    AuditConfig audit;
    std::vector<SnapshotEntry> snapshots;
    std::vector<RunningEntry> running;
};

// What keeps a task list from travelling whole in one list reply, each task
// with its own startup rank: more than 255 tasks, a name longer than 254
// characters, or names that together outgrow the reply.
enum class ListLimit { Fits, TooManyTasks, NameTooLong, TooLongForAReply };
// *long_name receives the first name that is too long.
ListLimit CheckTaskListLimits(const std::vector<TaskRecord> &tasks, std::string *long_name);

// The state file's text.
std::string StateToJson(const PersistentState &state);
// Reads a state file's text. Returns an empty string, or what is wrong with
// it, a task list beyond the limits above included.
std::string StateFromJson(const std::string &text, PersistentState *state);

// A group configuration: the registered tasks with their startup orders.
std::string GroupToJson(const std::vector<TaskRecord> &tasks);
std::string GroupFromJson(const std::string &text, std::vector<TaskRecord> *tasks);

} // namespace taskd
