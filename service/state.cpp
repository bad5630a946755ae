#include "service/state.h"

#include <nlohmann/json.hpp>

#include <set>

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

} // namespace

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
    return root.dump(2) + "\n";
}

std::string StateFromJson(const std::string &text, PersistentState *state) {
    json root;
    if (auto why = Parse(text, &root); !why.empty()) return why;
    PersistentState s;
    if (auto why = TasksFromJson(root, &s.tasks); !why.empty()) return why;
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
