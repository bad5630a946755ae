// vexsrv/service.h: one task-service instance (node and suffix) and its
// operations, each a thin conversion over one exported C function.
//
// Every method calls exactly one C operation (none for a refusal of its own,
// below) and returns a Result: ok is the operation's return value, value,
// status and message its result channels, source where the outcome came from,
// and data whatever the operation returns besides. Nothing is retried, cached
// or interpreted; the C operation's own rules (in vexsrvapi.h) hold unchanged.
//
// The layer refuses by itself, with Source::Library and nothing sent, only
// what the C records cannot carry: a text longer than its record field or
// holding a zero byte.
#pragma once

#include "vexsrv/requires_cxx20.h"
#if defined(VEXSRV_CXX_LAYER_USABLE)

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vexsrv/channels.h"
#include "vexsrv/result.h"
#include "vexsrv/task.h"
#include "vexsrvapi.h"

namespace vexsrv {

// The two values of a database check (operations 9 and 6).
struct CheckValues {
    std::int32_t first = 0;
    std::int32_t second = 0;
    friend bool operator==(const CheckValues &, const CheckValues &) = default;
};

// The two permission words, byte for byte as the service sent them.
struct Permissions {
    std::uint32_t first = 0;
    std::uint32_t second = 0;
    friend bool operator==(const Permissions &, const Permissions &) = default;
};

// The database version: three numbers and a text. After a failed exchange the
// numbers are 0 and the text is the library's "Target computer is offline.".
struct Version {
    std::int32_t first = 0;
    std::int32_t second = 0;
    std::int32_t third = 0;
    std::string text;
    friend bool operator==(const Version &, const Version &) = default;
};

// The audit-trail configuration: two settings and two 32-byte text fields,
// each read up to its first zero byte or its 32nd byte.
struct AuditTrail {
    std::int32_t setting_first = 0;
    std::int32_t setting_second = 0;
    std::string field_first;
    std::string field_second;
    friend bool operator==(const AuditTrail &, const AuditTrail &) = default;
};

// One snapshot-list entry; the name has at most 1023 characters.
struct Snapshot {
    std::string name;
    std::uint8_t option_a = 0, option_b = 0, option_c = 0;
};

// Which fields a process launch carries besides its texts: the operation
// (41, 44 or 47) follows from it.
enum class Launch { Plain, Affinity, AffinityPriority };

// Whether a start by name waits for the start (operation 3) or not (29).
enum class Wait { Yes, No };

// The order of the registered task list.
enum class Order { List, Startup };

namespace detail {

// Gives a list array back to the library that allocated it.
struct ListDeleter {
    void operator()(CStringArray *list) const noexcept { VexSrv_FreeCStringArray(list); }
};
using OwnedList = std::unique_ptr<CStringArray, ListDeleter>;

// Copies the items of a returned array; the array itself is freed by its owner.
inline std::vector<std::string> Items(const CStringArray *list) {
    std::vector<std::string> items;
    if (list == nullptr) return items;
    const auto size = list->GetSize();
    items.reserve(static_cast<std::size_t>(size > 0 ? size : 0));
    for (std::int32_t i = 0; i < size; ++i) {
        const CString &item = list->GetAt(i);
        items.emplace_back(item.GetString(), static_cast<std::size_t>(item.GetLength()));
    }
    return items;
}

// The first characters of the library's message for a missing service.
inline constexpr std::string_view kConnectionMessageStart = "Cannot connect to service '";

// The status operations write their value outs before anything else (check
// and read: 0; set: the value asked for stays), so an unwritten value cannot
// show a failed exchange. A failure counts as the service's only on a sign
// that a reply arrived: value_changed (the operation's value out no longer
// holds what was put there), or no text copied at all (a failed exchange
// always leaves the system's text). Without such a sign it is the system's: a
// failed exchange of the local transport or the network. The library's
// message for a missing service is always the system's, and a failure with
// status 0 is the library's unanswered echo.
template <class T = NoData>
Result<T> ConcludeStatus(std::int32_t returned, const Channels &ch, bool value_changed, T data = {}) {
    const bool missing =
        std::string_view(ch.message).substr(0, kConnectionMessageStart.size()) == kConnectionMessageStart;
    const bool replied = !missing && (value_changed || !ch.TextCopied());
    Result<T> r = ConcludeReplied<T>(returned, ch, replied, std::move(data));
    if (!r.ok && ch.status == 0) r.source = Source::Unreachable;
    if (!ch.TextCopied()) r.message.clear();
    return r;
}

} // namespace detail

class Service {
    // The helpers come first: the operations below deduce their types from them.
    const char *n() const { return node_.c_str(); }
    const char *s() const { return suffix_.c_str(); }

    template <std::size_t N> static std::size_t Length(const char (&field)[N]) {
        std::size_t i = 0;
        while (i < N && field[i] != '\0')
            ++i;
        return i;
    }

    // Runs a C operation whose last four arguments are the result channels.
    template <class F> static Result<> Simple(F &&call) {
        detail::Channels ch;
        const auto ret = call(&ch.value, &ch.status, ch.message, detail::kMessageLength);
        return detail::Conclude(ret, ch);
    }

    // A record operation of the common shape (node, suffix, record, channels).
    template <class Record>
    auto Call(std::int32_t(VEXSRV_CALL *fn)(const char *, const char *, const Record *, std::int32_t *, std::int32_t *,
                                            char *, std::int32_t)) const {
        return [this, fn](const Record *r, auto... out) { return fn(n(), s(), r, out...); };
    }

    // Fills a record of the given layout and runs the operation with it.
    template <class Record, class F> static Result<> WithRecord(const Task &task, F &&call) {
        Record record{};
        if (auto refusal = FillRecord(task, record); !refusal.empty()) return detail::Refused(std::move(refusal));
        return Simple([&](auto... out) { return call(static_cast<const Record *>(&record), out...); });
    }

  public:
    // node: the computer that runs the service ("." for this one); suffix:
    // selects the instance on that node; lock_key: sent by the operations
    // that carry one (the exclusive-lock token while a lock is held, else 0).
    explicit Service(std::string node = ".", std::string suffix = "", std::int32_t lock_key = 0)
        : node_(std::move(node)), suffix_(std::move(suffix)), lock_key_(lock_key) {}

    const std::string &node() const { return node_; }
    const std::string &suffix() const { return suffix_; }
    std::int32_t lock_key() const { return lock_key_; }
    void set_lock_key(std::int32_t key) { lock_key_ = key; }

    // ---- Database --------------------------------------------------------

    // Starts the database (code 1; cluster form 0x00010001).
    Result<> StartDatabase(bool cluster = false) const {
        return Simple([&](auto... out) {
            return (cluster ? VexSrv_StartTidewellFromCluster : VexSrv_StartTidewell)(lock_key_, n(), s(), out...);
        });
    }
    // Stops the database (code 4; cluster form 0x00010004).
    Result<> StopDatabase(bool cluster = false) const {
        return Simple([&](auto... out) {
            return (cluster ? VexSrv_StopTidewellFromCluster : VexSrv_StopTidewell)(lock_key_, n(), s(), out...);
        });
    }
    // Stops the external tasks (code 15).
    Result<> StopExternalTasks() const {
        return Simple([&](auto... out) { return VexSrv_StopExternalTasks(lock_key_, n(), s(), out...); });
    }
    // Unmaps the database's programs (code 18).
    Result<> UnmapPrograms() const {
        return Simple([&](auto... out) { return VexSrv_UnmapTidewellPrograms(lock_key_, n(), s(), out...); });
    }
    // Stops one subsystem (code 7), or waits for the stop (code 17).
    Result<> StopSubsystem(const std::string &name, bool wait = false) const {
        return Simple([&](auto... out) {
            return VexSrv_StopSubsystemAndWait(lock_key_, n(), s(), name.c_str(), wait ? 1 : 0, out...);
        });
    }

    // Checks the database (codes 9 then 6); value is the first reply's value.
    // A refusal of the first request leaves the second value 0; the reference
    // service's refusals carry their status as value, which tells them from a
    // failed exchange of the second request after a first one that succeeded.
    Result<CheckValues> Check() const {
        detail::Channels ch;
        ch.MarkMessage();
        CheckValues values{detail::kUnwritten, detail::kUnwritten};
        const auto ret = VexSrv_CheckTidewell(n(), s(), &values.first, &values.second, &ch.status, ch.message,
                                              detail::kMessageLength);
        ch.value = values.first;
        if (values.first == detail::kUnwritten) values = {};
        const bool changed = values.second != 0 || (values.first != 0 && values.first == ch.status);
        return detail::ConcludeStatus(ret, ch, changed, values);
    }
    // Reads the database status (code 19) into value.
    Result<> GetStatus() const {
        detail::Channels ch;
        ch.MarkMessage();
        const auto ret = VexSrv_GetTidewellStatus(n(), s(), &ch.value, &ch.status, ch.message, detail::kMessageLength);
        return detail::ConcludeStatus(ret, ch, ch.value != 0 && ch.value != detail::kUnwritten);
    }
    // Sets the database status (code 26); value is the service's answer, or
    // the status asked for when no answer came.
    Result<> SetStatus(std::int32_t status_value) const {
        detail::Channels ch;
        ch.MarkMessage();
        ch.value = status_value;
        const auto ret = VexSrv_SetTidewellStatus(n(), s(), &ch.value, &ch.status, ch.message, detail::kMessageLength);
        return detail::ConcludeStatus(ret, ch, ch.value != status_value);
    }

    // ---- Exclusive lock, permissions, version ------------------------------

    // Takes the exclusive lock (code 10); data is the token, -1 after a failure.
    Result<std::int32_t> GetLock() const {
        detail::Channels ch;
        std::int32_t token = -1;
        const auto ret =
            VexSrv_GetExclLock(n(), s(), &token, &ch.value, &ch.status, ch.message, detail::kMessageLength);
        return detail::Conclude(ret, ch, token);
    }
    // Gives the exclusive lock back (code 11).
    Result<> GiveLock(std::int32_t token) const {
        return Simple([&](auto... out) { return VexSrv_GiveExclLock(token, n(), s(), out...); });
    }
    // Reads the permissions for a query value (code 22).
    Result<Permissions> GetPermissions(std::int32_t query) const {
        detail::Channels ch;
        Permissions words;
        const auto ret = VexSrv_GetDBPermis(n(), s(), query, &words.first, &words.second, &ch.value, &ch.status,
                                            ch.message, detail::kMessageLength);
        return detail::Conclude(ret, ch, words);
    }
    // Reads the database version (code 23). Its outcome is the status; it has
    // no value of its own.
    Result<Version> GetVersion() const {
        detail::Channels ch;
        std::int32_t numbers[3] = {detail::kUnwritten, 0, 0};
        char text[kVersionTextLength + 1] = {};
        const auto ret = VexSrv_GetDBVersion(n(), s(), &ch.status, &numbers[0], &numbers[1], &numbers[2], text,
                                             kVersionTextLength, ch.message, detail::kMessageLength);
        const bool replied = numbers[0] != detail::kUnwritten;
        if (!replied) numbers[0] = 0;
        return detail::ConcludeReplied(ret, ch, replied, Version{numbers[0], numbers[1], numbers[2], text});
    }

    // ---- Audit trail, group configuration, snapshots -------------------------

    // Reads the audit-trail configuration (code 27).
    Result<AuditTrail> GetAuditTrail() const {
        detail::Channels ch;
        std::int32_t first = 0, second = 0;
        char field_first[kAuditFieldLength] = {}, field_second[kAuditFieldLength] = {};
        const auto ret = VexSrv_GetAuditTrailConfiguration(n(), s(), &first, &second, field_first, field_second,
                                                           &ch.value, &ch.status, ch.message, detail::kMessageLength);
        return detail::Conclude(ret, ch,
                                AuditTrail{first, second, std::string(field_first, Length(field_first)),
                                           std::string(field_second, Length(field_second))});
    }
    // Writes the audit-trail configuration (code 28).
    Result<> SetAuditTrail(std::int32_t setting_first, std::int32_t setting_second) const {
        return Simple([&](auto... out) {
            return VexSrv_SetAuditTrailConfiguration(n(), s(), setting_first, setting_second, out...);
        });
    }
    // Saves the group configuration under a file name (code 34).
    Result<> SaveGroup(const std::string &file_name) const {
        return Simple([&](auto... out) { return VexSrv_SaveGroupConfiguration(n(), s(), file_name.c_str(), out...); });
    }
    // Loads a group configuration (code 35).
    Result<> LoadGroup(const std::string &file_name, std::int32_t load_option = 0) const {
        return Simple([&](auto... out) {
            return VexSrv_LoadGroupConfiguration(n(), s(), file_name.c_str(), load_option, out...);
        });
    }
    // Updates the snapshot list with one entry (code 48).
    Result<> UpdateSnapshot(const Snapshot &snapshot) const {
        SnapshotListEntry entry{};
        if (auto refusal = detail::PutText(entry.name, snapshot.name, "snapshot name"); !refusal.empty())
            return detail::Refused(std::move(refusal));
        entry.option_a = snapshot.option_a;
        entry.option_b = snapshot.option_b;
        entry.option_c = snapshot.option_c;
        return Simple([&](auto... out) { return VexSrv_UpdateSnapshotList(n(), s(), &entry, out...); });
    }

    // ---- Task list -----------------------------------------------------------

    // Adds a task at the end of the list from a record of the given layout
    // (codes 0xFFFF0008, 30, 39, 42, 45). Layout 1 takes task.position as its
    // position argument.
    Result<> AddTask(const Task &task, Layout layout = Layout::Five) const {
        switch (layout) {
        case Layout::One:
            return WithRecord<TaskDefinition1>(task, [&](const auto *r, auto... out) {
                return VexSrv_AddTaskToList(n(), s(), r, task.position, out...);
            });
        case Layout::Two:
            return WithRecord<TaskDefinition2>(task, Call(VexSrv_AddTaskToList2));
        case Layout::Three:
            return WithRecord<TaskDefinition3>(task, Call(VexSrv_AddTaskToList3));
        case Layout::Four:
            return WithRecord<TaskDefinition4>(task, Call(VexSrv_AddTaskToList4));
        case Layout::Five:
            return WithRecord<TaskDefinition5>(task, Call(VexSrv_AddTaskToList5));
        }
        return detail::Refused("no such record layout");
    }
    // Updates a registered task (codes 25, 31, 40, 43, 46).
    Result<> UpdateTask(const Task &task, Layout layout = Layout::Five) const {
        switch (layout) {
        case Layout::One:
            return WithRecord<TaskDefinition1>(task, Call(VexSrv_UpdateTaskList));
        case Layout::Two:
            return WithRecord<TaskDefinition2>(task, Call(VexSrv_UpdateTaskList2));
        case Layout::Three:
            return WithRecord<TaskDefinition3>(task, Call(VexSrv_UpdateTaskList3));
        case Layout::Four:
            return WithRecord<TaskDefinition4>(task, Call(VexSrv_UpdateTaskList4));
        case Layout::Five:
            return WithRecord<TaskDefinition5>(task, Call(VexSrv_UpdateTaskList5));
        }
        return detail::Refused("no such record layout");
    }
    // Removes a registered task (code 24, layout-1 record).
    Result<> RemoveTask(const Task &task) const {
        return WithRecord<TaskDefinition1>(task, Call(VexSrv_RemoveTaskFromList));
    }

    // ---- Task start and stop ---------------------------------------------------

    // Starts a task from a layout-1 record (code 2).
    Result<> StartTask(const Task &task) const {
        return WithRecord<TaskDefinition1>(
            task, [&](const auto *r, auto... out) { return VexSrv_StartTask(lock_key_, n(), s(), r, out...); });
    }
    // Starts a registered task by name (operation 3, or 29 without waiting),
    // the modifier in the code word's high half.
    Result<> StartTaskByName(const std::string &name, std::int16_t modifier = 0, Wait wait = Wait::Yes) const {
        return Simple([&](auto... out) {
            return (wait == Wait::Yes ? VexSrv_StartTaskByName : VexSrv_StartTaskByNameNoBlock)(
                lock_key_, n(), s(), name.c_str(), modifier, out...);
        });
    }
    // Stops a task by name (code 5).
    Result<> StopTask(const std::string &name, std::int32_t stop_value = 0) const {
        return Simple(
            [&](auto... out) { return VexSrv_StopTask(lock_key_, n(), s(), name.c_str(), stop_value, out...); });
    }

    // ---- Processes ---------------------------------------------------------------

    // Starts a process from the task's command line, text_a and text_e, with
    // its affinity and priority as launch says (codes 41, 44, 47).
    Result<> StartProcess(const Task &task, Launch launch = Launch::AffinityPriority) const {
        switch (launch) {
        case Launch::Plain:
            return WithRecord<TaskDefinition3>(task, Call(VexSrv_StartProcess));
        case Launch::Affinity:
            return WithRecord<TaskDefinition4>(task, Call(VexSrv_StartProcessWithAffinity));
        case Launch::AffinityPriority:
            return WithRecord<TaskDefinition5>(task, Call(VexSrv_StartProcessWithAffinityPriority));
        }
        return detail::Refused("no such launch");
    }
    // Asks the service to check its running list (code 36).
    Result<> CheckRunningList() const {
        return Simple([&](auto... out) { return VexSrv_CheckRunningList(n(), s(), out...); });
    }

    // ---- Startup order, boot start, lists ----------------------------------------

    // Sets the startup order from task names in the wanted order (code 32).
    Result<> SetStartupOrder(const std::vector<std::string> &names) const {
        CStringArray array;
        for (const auto &name : names)
            array.Add(name.c_str());
        detail::Channels ch;
        const auto ret = VexSrv_SetRegTaskListStartupOrders(n(), s(), &ch.value, &ch.status, &array, ch.message,
                                                            detail::kMessageLength);
        return detail::Conclude(ret, ch);
    }
    // Switches start at boot on or off (code 33).
    Result<> SetStartAtBoot(bool on) const {
        detail::Channels ch;
        const auto ret =
            VexSrv_SetStartupAtBoot(n(), s(), &ch.value, &ch.status, on ? 1 : 0, ch.message, detail::kMessageLength);
        return detail::Conclude(ret, ch);
    }
    // Reads the registered task names (codes 13 and 12). A value other than 0
    // means the service sent a message instead of a list: data is then empty.
    Result<std::vector<std::string>> GetTaskList(Order order = Order::List) const {
        detail::Channels ch;
        CStringArray *list = nullptr;
        const auto ret = VexSrv_GetTaskList(lock_key_, n(), s(), &ch.value, &ch.status, order == Order::Startup ? 1 : 0,
                                            &list, ch.message, detail::kMessageLength);
        const detail::OwnedList owned(list);
        return detail::Conclude(ret, ch, detail::Items(list));
    }
    // Reads the subsystem list (code 16); data as for GetTaskList.
    Result<std::vector<std::string>> GetSubsystems() const {
        detail::Channels ch;
        CStringArray *list = nullptr;
        const auto ret =
            VexSrv_GetSubSysList(lock_key_, n(), s(), &ch.value, &ch.status, &list, ch.message, detail::kMessageLength);
        const detail::OwnedList owned(list);
        return detail::Conclude(ret, ch, detail::Items(list));
    }

    // Room offered for the version text.
    static constexpr std::uint32_t kVersionTextLength = 256;
    // Width of each audit-trail text field.
    static constexpr std::size_t kAuditFieldLength = 32;

  private:
    std::string node_;
    std::string suffix_;
    std::int32_t lock_key_;
};

} // namespace vexsrv

#endif // VEXSRV_CXX_LAYER_USABLE
