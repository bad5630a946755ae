#include "service/state.h"

#include <nlohmann/json.hpp>

#include <set>

#include "util/packed_list.h"

namespace taskd {
namespace {

using nlohmann::json;
using vex::tasks::FieldKind;
using vex::tasks::kFieldInfo;

constexpr int kFormat = 1;

// Texts are 8-bit characters of the system code page; JSON wants UTF-8. Each
// byte is kept as the code point of the same number, so every text survives
// the round trip unchanged.
std::string BytesToUtf8(const std::string &bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool Utf8ToBytes(const std::string &utf8, std::string *bytes) {
    bytes->clear();
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            *bytes += static_cast<char>(c);
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size() &&
                   (static_cast<unsigned char>(utf8[i + 1]) & 0xC0) == 0x80) {
            *bytes += static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F));
        } else {
            return false; // a character that no 8-bit text holds
        }
    }
    return true;
}

bool IsKept(Field f) { return f != Field::ServiceSuffix; }

json TaskToJson(const TaskRecord &task) {
    json j = json::object();
    for (std::size_t i = 0; i < std::size(kFieldInfo); ++i) {
        const auto f = static_cast<Field>(i);
        if (!IsKept(f)) continue;
        const std::string key(kFieldInfo[i].name);
        if (TaskRecord::IsText(f))
            j[key] = BytesToUtf8(task.Text(f));
        else
            j[key] = task.Number(f);
    }
    j["layout"] = task.layout;
    j["startup_order"] = task.startup_order;
    return j;
}

// Reads an integer member within [lo, hi]; a missing member keeps *out.
std::string ReadInt(const json &j, const std::string &key, std::int64_t lo, std::int64_t hi, std::int32_t *out) {
    const auto it = j.find(key);
    if (it == j.end()) return {};
    if (!it->is_number_integer()) return "\"" + key + "\" is not an integer";
    const auto v = it->get<std::int64_t>();
    if (v < lo || v > hi) return "\"" + key + "\" is out of range";
    *out = static_cast<std::int32_t>(v);
    return {};
}

std::string ReadText(const json &j, const std::string &key, std::string *out) {
    const auto it = j.find(key);
    if (it == j.end()) return {};
    if (!it->is_string() || !Utf8ToBytes(it->get<std::string>(), out))
        return "\"" + key + "\" is not a text of 8-bit characters";
    return {};
}

std::string TaskFromJson(const json &j, TaskRecord *task) {
    if (!j.is_object()) return "a task is not an object";
    for (std::size_t i = 0; i < std::size(kFieldInfo); ++i) {
        const auto f = static_cast<Field>(i);
        if (!IsKept(f)) continue;
        const std::string key(kFieldInfo[i].name);
        std::string why;
        if (TaskRecord::IsText(f))
            why = ReadText(j, key, &task->Text(f));
        else if (kFieldInfo[i].kind == FieldKind::Byte)
            why = ReadInt(j, key, 0, 255, &task->Number(f));
        else
            why = ReadInt(j, key, INT32_MIN, INT32_MAX, &task->Number(f));
        if (!why.empty()) return why;
    }
    std::int32_t layout = task->layout, order = task->startup_order;
    if (auto why = ReadInt(j, "layout", 1, 5, &layout); !why.empty()) return why;
    if (auto why = ReadInt(j, "startup_order", 0, 255, &order); !why.empty()) return why;
    task->layout = layout;
    task->startup_order = order;
    if (task->name().empty()) return "a task has no \"task_name\"";
    return {};
}

json TasksToJson(const std::vector<TaskRecord> &tasks) {
    json list = json::array();
    for (const TaskRecord &t : tasks) list.push_back(TaskToJson(t));
    return list;
}

std::string TasksFromJson(const json &root, std::vector<TaskRecord> *tasks) {
    tasks->clear();
    const auto it = root.find("tasks");
    if (it == root.end()) return {};
    if (!it->is_array()) return "\"tasks\" is not a list";
    std::set<std::string> names;
    for (const json &item : *it) {
        TaskRecord task;
        if (auto why = TaskFromJson(item, &task); !why.empty()) return why;
        if (!names.insert(task.name()).second) return "task \"" + BytesToUtf8(task.name()) + "\" appears twice";
        tasks->push_back(std::move(task));
    }
    return {};
}

std::string CheckFormat(const json &root) {
    if (!root.is_object()) return "the file does not hold a JSON object";
    const auto it = root.find("format");
    if (it == root.end() || !it->is_number_integer() || it->get<std::int64_t>() != kFormat)
        return "the file's \"format\" is not 1";
    return {};
}

std::string Parse(const std::string &text, json *root) {
    try {
        *root = json::parse(text);
    } catch (const json::exception &e) {
        return std::string("it is not valid JSON (") + e.what() + ")";
    }
    return CheckFormat(*root);
}

const char *KindName(RunningEntry::Kind kind) {
    switch (kind) {
    case RunningEntry::Kind::Task: return "task";
    case RunningEntry::Kind::Process: return "process";
    case RunningEntry::Kind::Database: return "database";
    }
    return "task";
}

std::string RunningFromJson(const json &list, std::vector<RunningEntry> *out) {
    if (!list.is_array()) return "\"running\" is not a list";
    if (list.size() > 4096) return "\"running\" holds more children than the service runs";
    for (const json &item : list) {
        if (!item.is_object()) return "a running child is not an object";
        RunningEntry e;
        const auto kind = item.find("kind");
        if (kind == item.end() || !kind->is_string()) return "a running child has no \"kind\"";
        if (*kind == "task")
            e.kind = RunningEntry::Kind::Task;
        else if (*kind == "process")
            e.kind = RunningEntry::Kind::Process;
        else if (*kind == "database")
            e.kind = RunningEntry::Kind::Database;
        else
            return "a running child's \"kind\" is not task, process or database";
        if (auto why = ReadText(item, "name", &e.name); !why.empty()) return why;
        if (e.kind == RunningEntry::Kind::Task && e.name.empty()) return "a running task has no \"name\"";
        const auto pid = item.find("pid");
        const auto start = item.find("start_time");
        if (pid == item.end() || !pid->is_number_integer() || pid->get<std::int64_t>() < 2 ||
            pid->get<std::int64_t>() > INT32_MAX)
            return "a running child's \"pid\" is not a process id";
        if (start == item.end() || !start->is_number_unsigned()) return "a running child has no \"start_time\"";
        e.pid = static_cast<std::uint32_t>(pid->get<std::int64_t>());
        e.start_time = start->get<std::uint64_t>();
        if (const auto rec = item.find("from_record"); rec != item.end()) {
            if (!rec->is_boolean()) return "\"from_record\" is not true or false";
            e.from_record = rec->get<bool>();
        }
        out->push_back(std::move(e));
    }
    return {};
}

} // namespace

ListLimit CheckTaskListLimits(const std::vector<TaskRecord> &tasks, std::string *long_name) {
    namespace packed = vex::util;
    if (tasks.size() > packed::kPackedMaxOrders) return ListLimit::TooManyTasks;
    std::size_t bytes = packed::kPackedCountSize;
    for (const TaskRecord &t : tasks) {
        if (t.name().size() > packed::kPackedMaxTextChars) {
            *long_name = t.name();
            return ListLimit::NameTooLong;
        }
        bytes += packed::PackedEntrySize(t.name().size());
    }
    return bytes > packed::kPackedAreaSize ? ListLimit::TooLongForAReply : ListLimit::Fits;
}

std::string StateToJson(const PersistentState &state) {
    json root = json::object();
    root["format"] = kFormat;
    root["boot_start"] = state.boot_start;
    root["tasks"] = TasksToJson(state.tasks);
    root["audit_trail"] = {{"setting_first", state.audit.setting_first},
                           {"setting_second", state.audit.setting_second},
                           {"field_first", BytesToUtf8(state.audit.field_first)},
                           {"field_second", BytesToUtf8(state.audit.field_second)}};
    json snaps = json::array();
    for (const SnapshotEntry &s : state.snapshots)
        snaps.push_back({{"name", BytesToUtf8(s.name)}, {"options", s.options}});
    root["snapshots"] = snaps;
    json running = json::array();
    for (const RunningEntry &r : state.running)
        running.push_back({{"kind", KindName(r.kind)},
                           {"name", BytesToUtf8(r.name)},
                           {"from_record", r.from_record},
                           {"pid", r.pid},
                           {"start_time", r.start_time}});
    root["running"] = running;
    return root.dump(2) + "\n";
}

std::string StateFromJson(const std::string &text, PersistentState *state) {
    json root;
    if (auto why = Parse(text, &root); !why.empty()) return why;
    PersistentState s;
    if (auto why = TasksFromJson(root, &s.tasks); !why.empty()) return why;
    // The service must be able to answer for every task it keeps.
    std::string long_name;
    switch (CheckTaskListLimits(s.tasks, &long_name)) {
    case ListLimit::Fits: break;
    case ListLimit::TooManyTasks:
        return "it registers " + std::to_string(s.tasks.size()) + " tasks, more than the " +
               std::to_string(vex::util::kPackedMaxOrders) + " the service keeps";
    case ListLimit::NameTooLong:
        return "task name \"" + BytesToUtf8(long_name.substr(0, 40)) + "...\" has " +
               std::to_string(long_name.size()) + " characters, more than the " +
               std::to_string(vex::util::kPackedMaxTextChars) + " the service keeps";
    case ListLimit::TooLongForAReply: return "its task names would not fit one list reply";
    }
    if (const auto it = root.find("running"); it != root.end())
        if (auto why = RunningFromJson(*it, &s.running); !why.empty()) return why;
    if (const auto it = root.find("boot_start"); it != root.end()) {
        if (!it->is_boolean()) return "\"boot_start\" is not true or false";
        s.boot_start = it->get<bool>();
    }
    if (const auto it = root.find("audit_trail"); it != root.end()) {
        if (!it->is_object()) return "\"audit_trail\" is not an object";
        for (auto why : {ReadInt(*it, "setting_first", INT32_MIN, INT32_MAX, &s.audit.setting_first),
                         ReadInt(*it, "setting_second", INT32_MIN, INT32_MAX, &s.audit.setting_second),
                         ReadText(*it, "field_first", &s.audit.field_first),
                         ReadText(*it, "field_second", &s.audit.field_second)})
            if (!why.empty()) return why;
    }
    if (const auto it = root.find("snapshots"); it != root.end()) {
        if (!it->is_array()) return "\"snapshots\" is not a list";
        for (const json &item : *it) {
            SnapshotEntry e;
            if (!item.is_object()) return "a snapshot is not an object";
            if (auto why = ReadText(item, "name", &e.name); !why.empty()) return why;
            if (e.name.empty()) return "a snapshot has no \"name\"";
            const auto opts = item.find("options");
            if (opts != item.end()) {
                if (!opts->is_array() || opts->size() != 3) return "a snapshot's \"options\" are not three bytes";
                for (std::size_t i = 0; i < 3; ++i) {
                    const json &o = (*opts)[i];
                    if (!o.is_number_integer() || o.get<std::int64_t>() < 0 || o.get<std::int64_t>() > 255)
                        return "a snapshot's \"options\" are not three bytes";
                    e.options[i] = static_cast<std::uint8_t>(o.get<std::int64_t>());
                }
            }
            s.snapshots.push_back(std::move(e));
        }
    }
    *state = std::move(s);
    return {};
}

std::string GroupToJson(const std::vector<TaskRecord> &tasks) {
    json root = json::object();
    root["format"] = kFormat;
    root["tasks"] = TasksToJson(tasks);
    return root.dump(2) + "\n";
}

std::string GroupFromJson(const std::string &text, std::vector<TaskRecord> *tasks) {
    json root;
    if (auto why = Parse(text, &root); !why.empty()) return why;
    return TasksFromJson(root, tasks);
}

} // namespace taskd
