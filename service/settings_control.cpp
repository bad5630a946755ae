// Settings the service keeps in its state folder: the audit-trail
// configuration, group configurations and the snapshot list.
#include <algorithm>

#include "service/group_files.h"
#include "service/log.h"
#include "service/os.h"
#include "service/task_service.h"

namespace taskd {
namespace {

// The folder of the group configuration files, in the state folder.
constexpr const char *kGroupFolder = "groups";

// The audit trail's 32-byte text fields keep a terminator.
constexpr std::size_t kAuditFieldChars = 31;

} // namespace

Outcome TaskService::SetAuditTrail(std::int32_t first, std::int32_t second) {
    PersistentState next = state_;
    next.audit.setting_first = first;
    next.audit.setting_second = second;
    // Who changed it and when, for the next reader.
    next.audit.field_first = config_.node_name.substr(0, kAuditFieldChars);
    next.audit.field_second = log::UtcTimestamp().substr(0, kAuditFieldChars);
    return Commit(std::move(next), Outcome::Ok(0));
}

Outcome TaskService::SaveGroup(const std::string &file_name) {
    if (std::string why = GroupFileNameProblem(file_name); !why.empty())
        return Outcome::Refuse(status::kInvalidName, why);
    std::string why;
    const auto groups = folder_ ? folder_->Sub(kGroupFolder, &why) : nullptr;
    if (!groups)
        return Outcome::Refuse(status::kWriteFault, "The group configuration folder cannot be created: " + why);
    if (why = groups->WriteDurably(file_name, GroupToJson(state_.tasks)); !why.empty())
        return Outcome::Refuse(status::kWriteFault, "The group configuration could not be saved: " + why);
    log::Info("group configuration '" + file_name + "' saved with " + std::to_string(state_.tasks.size()) +
              " task(s)");
    return Outcome::Ok(static_cast<std::int32_t>(state_.tasks.size()));
}

Outcome TaskService::LoadGroup(const std::string &file_name, std::int32_t option) {
    if (std::string why = GroupFileNameProblem(file_name); !why.empty())
        return Outcome::Refuse(status::kInvalidName, why);
    if (option != 0 && option != 1)
        return Outcome::Refuse(status::kInvalidParameter,
                               "Load option " + std::to_string(option) + " is not known: 0 replaces the registered "
                                                                        "tasks, 1 merges the group into them.");
    std::string text;
    bool missing = false;
    std::string why;
    const auto groups = folder_ ? folder_->Sub(kGroupFolder, &why) : nullptr;
    if (!groups)
        return Outcome::Refuse(status::kInvalidData, "Group configuration '" + file_name + "' cannot be read: " + why);
    if (why = groups->Read(file_name, &text, &missing); !why.empty()) {
        if (missing)
            return Outcome::Refuse(status::kFileNotFound, "Group configuration '" + file_name + "' does not exist.");
        return Outcome::Refuse(status::kInvalidData, "Group configuration '" + file_name + "' cannot be read: " + why);
    }
    std::vector<TaskRecord> group;
    if (why = GroupFromJson(text, &group); !why.empty())
        return Outcome::Refuse(status::kInvalidData, "Group configuration '" + file_name + "' is damaged: " + why);

    if (option == 0) {
        // A running task is never dropped from the list: refused as its
        // removal would be.
        ReapChildren();
        for (const TaskRecord &have : state_.tasks) {
            const auto run = tasks_running_.find(have.name());
            if (run == tasks_running_.end() || run->second.from_record) continue;
            const bool kept = std::any_of(group.begin(), group.end(),
                                          [&](const TaskRecord &t) { return t.name() == have.name(); });
            if (!kept)
                return Outcome::Refuse(status::kBusy, "Task '" + have.name() + "' is running (process " +
                                                          std::to_string(run->second.child->pid()) +
                                                          "); stop it before removing it.");
        }
    }
    PersistentState next = state_;
    if (option == 0) {
        next.tasks = std::move(group);
    } else {
        for (TaskRecord &t : group) {
            auto it = std::find_if(next.tasks.begin(), next.tasks.end(),
                                   [&](const TaskRecord &have) { return have.name() == t.name(); });
            if (it != next.tasks.end())
                *it = std::move(t);
            else
                next.tasks.push_back(std::move(t));
        }
    }
    if (why = ListRoomFor(next.tasks); !why.empty()) return Outcome::Refuse(status::kListFull, why);
    const auto count = static_cast<std::int32_t>(next.tasks.size());
    log::Info("group configuration '" + file_name + "' loaded (" + (option == 0 ? "replace" : "merge") + ")");
    return Commit(std::move(next), Outcome::Ok(count));
}

Outcome TaskService::UpdateSnapshot(const SnapshotEntry &entry) {
    if (entry.name.empty()) return Outcome::Refuse(status::kInvalidParameter, "snapshot name should be defined");
    PersistentState next = state_;
    auto it = std::find_if(next.snapshots.begin(), next.snapshots.end(),
                           [&](const SnapshotEntry &s) { return s.name == entry.name; });
    if (it != next.snapshots.end())
        *it = entry;
    else
        next.snapshots.push_back(entry);
    const auto count = static_cast<std::int32_t>(next.snapshots.size());
    return Commit(std::move(next), Outcome::Ok(count));
}

} // namespace taskd
