#include "tools/vexsrv/commands.h"

#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>

namespace vexsrv::tool {
namespace {

using json = nlohmann::ordered_json;

// ---- Options shared by several verbs -------------------------------------------

void TaskName(CLI::App &v, Args &a) {
    v.add_option("NAME,--name", a.task.name, "task name")->required();
}

// Which task fields a verb sends: the texts of a layout-1 record, or every
// field of the layouts 1-5 with the layout to send.
enum class Fields { Layout1, All };

void TaskFields(CLI::App &v, Args &a, Fields fields) {
    v.add_option("--text-a", a.task.text_a,
                 "text a, sent by updates even when empty (the reference service: the folder it runs in)");
    v.add_option("--text-b", a.task.text_b, "text b");
    v.add_option("--text-c", a.task.text_c, "text c");
    v.add_option("--text-d", a.task.text_d, "text d");
    v.add_option("--text-e", a.task.text_e, "text e (the reference service: arguments added to the command line)");
    if (fields == Fields::Layout1) return;
    v.add_option("--text-f", a.task.text_f, "text f (layouts 2-5)");
    v.add_option("--position", a.task.position,
                 "place in the list; -1, after the last task, is the only one an add accepts")
        ->capture_default_str();
    v.add_option("--number-a", a.task.number_a, "number a (layouts 2-5)");
    v.add_option("--number-b", a.task.number_b, "number b (layouts 2-5)");
    v.add_option("--number-c", a.task.number_c, "number c (layouts 2-5)");
    v.add_option("--byte-a", a.byte_a, "byte a, 0-255 (layouts 2-5)")->check(CLI::Range(0, 255));
    v.add_option("--byte-b", a.byte_b, "byte b, 0-255 (layouts 2-5)")->check(CLI::Range(0, 255));
    v.add_option("--byte-c", a.byte_c, "byte c, 0-255 (layouts 2-5)")->check(CLI::Range(0, 255));
    v.add_option("--affinity", a.task.affinity, "processor affinity mask (layouts 4-5)");
    v.add_option("--priority", a.task.priority,
                 "process priority, layout 5 (the reference service: -2 idle to 2 high)");
    v.add_option("--layout", a.layout, "task record layout, 1-5")->check(CLI::Range(1, 5))->capture_default_str();
}

void NoOptions(CLI::App &, Args &) {}

// ---- Reports ---------------------------------------------------------------------

// A key/value table of the result channels.
Table Channels(std::int32_t status, std::int32_t value) {
    Table t;
    t.Add({"status", std::to_string(status)});
    t.Add({"value", std::to_string(value)});
    return t;
}

Report Simple(const Result<> &r) {
    return ReportOf(r, json::object(), Channels(r.status, r.value));
}

std::string Hex(std::uint32_t v) {
    std::ostringstream out;
    out << "0x" << std::hex << v;
    return out.str();
}

// A list for people: numbered items under a header.
Report ListReport(const Result<std::vector<std::string>> &r, const std::string &column, json data) {
    Table t;
    t.header = {"#", column};
    for (std::size_t i = 0; i < r.data.size(); ++i)
        t.Add({std::to_string(i + 1), r.data[i]});
    if (r.data.empty()) t = Table{{}, {{"(no " + column + " entries)"}}};
    data["items"] = r.data;
    return ReportOf(r, std::move(data), std::move(t));
}

// The database states of the status value, as the reference service answers
// them; other services may answer others, shown as numbers only.
std::optional<std::string> StateName(std::int32_t value) {
    switch (value) {
    case 0:
        return "stopped";
    case 1:
        return "running";
    case 2:
        return "exited";
    default:
        return std::nullopt;
    }
}

Report StatusReport(const Result<> &r) {
    json data = json::object();
    Table t = Channels(r.status, r.value);
    if (const auto state = StateName(r.value)) {
        data["state"] = *state;
        t.Add({"state", *state});
    }
    return ReportOf(r, std::move(data), std::move(t));
}

// Whether the database runs, for scripts: 0 running, 1 not running; a
// refusal of the query is 5, so that it cannot pass for "not running".
Report IsRunning(const Result<> &r) {
    Report rep = StatusReport(r);
    if (!r.ok) {
        if (rep.exit_code == kExitRefused) rep.exit_code = kExitQueryRefused;
        return rep;
    }
    const bool running = r.value == 1;
    rep.data["running"] = running;
    rep.exit_code = running ? kExitOk : kExitRefused;
    rep.table = Table{};
    rep.table.Add({running ? "running" : "not running (" + StateName(r.value).value_or(std::to_string(r.value)) + ")"});
    rep.message.clear(); // the answer is the line above
    return rep;
}

// The width of each discovery column, so answers line up as they arrive.
constexpr std::size_t kNodeWidth = 18;
constexpr std::size_t kServiceWidth = 44;

// A cell of a row printed as it arrives: on one line, padded to its column.
std::string Cell(const std::string &s, std::size_t width = 0) {
    std::string out;
    for (char c : s)
        out += c == '\n' ? '?' : Printable(c);
    if (width == 0) return out;
    return out.size() >= width ? out + "  " : out + std::string(width - out.size(), ' ');
}

Report Discover(const Args &a, bool json_out) {
    const std::optional<std::string> target = a.name.empty() ? std::nullopt : std::optional<std::string>(a.name);
    if (!json_out && ErrorIsTerminal()) {
        const std::lock_guard<std::mutex> hold(OutputLock());
        std::cerr << "Searching " << (target ? "'" + *target + "'" : std::string("the local domain"))
                  << "; waiting for answers (the search ends " << a.wait_ms << " ms after the last one)..."
                  << std::endl;
    }
    std::vector<BrowseAnswer> answers;
    bool header_printed = false;
    Result<> r = Broadcast(target, a.wait_ms, [&](const BrowseAnswer &answer) {
        answers.push_back(answer);
        if (json_out) return;
        const std::lock_guard<std::mutex> hold(OutputLock());
        if (!header_printed) {
            std::cout << Cell("NODE", kNodeWidth) << Cell("SERVICE", kServiceWidth) << "VERSION\n";
            header_printed = true;
        }
        std::cout << Cell(answer.first, kNodeWidth) << Cell(answer.second, kServiceWidth) << Cell(answer.third)
                  << std::endl;
    });
    json list = json::array();
    for (const auto &answer : answers)
        list.push_back({{"node", answer.first}, {"service", answer.second}, {"version", answer.third}});
    Table summary;
    summary.Add(
        {std::to_string(answers.size()) + (answers.size() == 1 ? " service answered." : " services answered.")});
    Report rep = ReportOf(r, json::object(), summary);
    // The answers that arrived are real even when the search then failed.
    rep.data["answers"] = list;
    rep.value.reset();
    rep.status.reset();
    if (!r.ok && r.source == Source::System) rep.status = r.status;
    return rep;
}

// ---- The table ---------------------------------------------------------------

const std::vector<Verb> kVerbs = {
    // ---- db
    {"db", "start", "start the database", true, true,
     [](CLI::App &v, Args &a) { v.add_flag("--cluster", a.cluster, "the cluster form of the start"); },
     [](const Service &s, const Args &a, bool) { return Simple(s.StartDatabase(a.cluster)); }},
    {"db", "stop", "stop the database and its tasks", true, true,
     [](CLI::App &v, Args &a) { v.add_flag("--cluster", a.cluster, "the cluster form of the stop"); },
     [](const Service &s, const Args &a, bool) { return Simple(s.StopDatabase(a.cluster)); }},
    {"db", "status", "read the database status (value: 0 stopped, 1 running, 2 its program exited)", false, true,
     NoOptions, [](const Service &s, const Args &, bool) { return StatusReport(s.GetStatus()); }},
    {"db", "is-running", "exit 0 when the database runs, 1 when it does not (for scripts)", false, true, NoOptions,
     [](const Service &s, const Args &, bool) { return IsRunning(s.GetStatus()); }},
    {"db", "check", "check the database (two values)", false, true, NoOptions,
     [](const Service &s, const Args &, bool) {
         const auto r = s.Check();
         Table t = Channels(r.status, r.value);
         t.Add({"first value", std::to_string(r.data.first)});
         t.Add({"second value", std::to_string(r.data.second)});
         return ReportOf(r, json{{"first", r.data.first}, {"second", r.data.second}}, t);
     }},
    {"db", "set-status", "set the database status", false, true,
     [](CLI::App &v, Args &a) { v.add_option("STATUS", a.number, "the status value to set")->required(); },
     [](const Service &s, const Args &a, bool) { return StatusReport(s.SetStatus(a.number)); }},
    {"db", "unmap", "unmap the database's programs", true, true, NoOptions,
     [](const Service &s, const Args &, bool) { return Simple(s.UnmapPrograms()); }},
    {"db", "stop-external", "stop the external tasks", true, true, NoOptions,
     [](const Service &s, const Args &, bool) { return Simple(s.StopExternalTasks()); }},
    {"db", "version", "read the database version", false, true, NoOptions,
     [](const Service &s, const Args &, bool) {
         const auto r = s.GetVersion();
         Table t;
         t.Add({"version", std::to_string(r.data.first) + "." + std::to_string(r.data.second) + "." +
                               std::to_string(r.data.third)});
         t.Add({"text", r.data.text});
         Report rep = ReportOf(
             r,
             json{{"first", r.data.first}, {"second", r.data.second}, {"third", r.data.third}, {"text", r.data.text}},
             t);
         // The version's outcome arrives as its text, not as a message; it
         // has no value word of its own.
         if (!rep.ok && rep.message.empty()) rep.message = r.data.text;
         rep.value.reset();
         return rep;
     }},
    {"db", "permissions", "read the database permissions", false, true,
     [](CLI::App &v, Args &a) { v.add_option("--query", a.number, "query value")->capture_default_str(); },
     [](const Service &s, const Args &a, bool) {
         const auto r = s.GetPermissions(a.number);
         Table t = Channels(r.status, r.value);
         t.Add({"first word", Hex(r.data.first)});
         t.Add({"second word", Hex(r.data.second)});
         return ReportOf(r, json{{"first", r.data.first}, {"second", r.data.second}}, t);
     }},

    // ---- task
    {"task", "add", "register a task at the end of the list", false, true,
     [](CLI::App &v, Args &a) {
         TaskName(v, a);
         v.add_option("--command-line", a.task.command_line, "command line that runs the task")->required();
         TaskFields(v, a, Fields::All);
     },
     [](const Service &s, const Args &a, bool) {
         return Simple(s.AddTask(a.BuiltTask(), static_cast<Layout>(a.layout)));
     }},
    {"task", "update", "update a registered task: the fields given replace its own", false, true,
     [](CLI::App &v, Args &a) {
         TaskName(v, a);
         v.add_option("--command-line", a.task.command_line, "command line that runs the task");
         TaskFields(v, a, Fields::All);
     },
     [](const Service &s, const Args &a, bool) {
         return Simple(s.UpdateTask(a.BuiltTask(), static_cast<Layout>(a.layout)));
     }},
    {"task", "remove", "remove a registered task", false, true, TaskName,
     [](const Service &s, const Args &a, bool) { return Simple(s.RemoveTask(a.BuiltTask())); }},
    {"task", "start", "start a registered task", true, true,
     [](CLI::App &v, Args &a) {
         TaskName(v, a);
         v.add_flag("--no-block", a.no_block, "answer at once; a failure to start reaches only the service's log");
         v.add_option("--modifier", a.modifier, "16-bit modifier of the start (1: restart a running task)")
             ->check(CLI::Range(-32768, 65535));
     },
     [](const Service &s, const Args &a, bool) {
         return Simple(s.StartTaskByName(a.task.name, static_cast<std::int16_t>(static_cast<std::uint16_t>(a.modifier)),
                                         a.no_block ? Wait::No : Wait::Yes));
     }},
    {"task", "restart", "restart a registered task: stop it if it runs, then start it", true, true,
     [](CLI::App &v, Args &a) {
         TaskName(v, a);
         v.add_flag("--no-block", a.no_block, "answer at once; a failure to start reaches only the service's log");
     },
     [](const Service &s, const Args &a, bool) {
         return Simple(s.StartTaskByName(a.task.name, 1, a.no_block ? Wait::No : Wait::Yes));
     }},
    {"task", "run", "run a task from a record without registering it", true, true,
     [](CLI::App &v, Args &a) {
         v.add_option("NAME,--name", a.task.name, "name to track it by (optional)");
         v.add_option("--command-line", a.task.command_line, "command line to run")->required();
         TaskFields(v, a, Fields::Layout1);
     },
     [](const Service &s, const Args &a, bool) { return Simple(s.StartTask(a.BuiltTask())); }},
    {"task", "stop", "stop a task", true, true,
     [](CLI::App &v, Args &a) {
         TaskName(v, a);
         v.add_option("--stop-value", a.number,
                      "value sent with the stop (the reference service: grace time in seconds when above 0)")
             ->capture_default_str();
     },
     [](const Service &s, const Args &a, bool) { return Simple(s.StopTask(a.task.name, a.number)); }},
    {"task", "list", "list the registered tasks", true, true,
     [](CLI::App &v, Args &a) {
         v.add_flag("--startup-order", a.startup_order, "in startup order (default: list order)");
     },
     [](const Service &s, const Args &a, bool) {
         const auto r = s.GetTaskList(a.startup_order ? Order::Startup : Order::List);
         return ListReport(r, "TASK", json{{"order", a.startup_order ? "startup" : "list"}});
     }},

    // ---- process
    {"process", "start", "start a process outside the task list (with affinity and priority when given)", false,
     true,
     [](CLI::App &v, Args &a) {
         v.add_option("--command-line", a.task.command_line, "command line of the process")->required();
         v.add_option("--text-a", a.task.text_a, "text a (the reference service: the folder it runs in)");
         v.add_option("--text-e", a.task.text_e, "text e (the reference service: arguments added to the command line)");
         a.affinity = v.add_option("--affinity", a.task.affinity, "processor affinity mask");
         a.priority =
             v.add_option("--priority", a.task.priority, "process priority (the reference service: -2 idle to 2 high)");
     },
     [](const Service &s, const Args &a, bool) {
         const Launch launch = a.priority->count() > 0   ? Launch::AffinityPriority
                               : a.affinity->count() > 0 ? Launch::Affinity
                                                         : Launch::Plain;
         return Simple(s.StartProcess(a.BuiltTask(), launch));
     }},
    {"process", "check", "have the service check its running list (value: how many run)", false, true, NoOptions,
     [](const Service &s, const Args &, bool) { return Simple(s.CheckRunningList()); }},

    // ---- order, boot, subsystem
    {"order", "set", "set the startup order", false, true,
     [](CLI::App &v, Args &a) {
         v.add_option("NAMES", a.names, "task names, first to start first")->required();
     },
     [](const Service &s, const Args &a, bool) { return Simple(s.SetStartupOrder(a.names)); }},
    {"boot", "on", "start the database when the service starts", false, true, NoOptions,
     [](const Service &s, const Args &, bool) { return Simple(s.SetStartAtBoot(true)); }},
    {"boot", "off", "do not start the database when the service starts", false, true, NoOptions,
     [](const Service &s, const Args &, bool) { return Simple(s.SetStartAtBoot(false)); }},
    {"subsystem", "list", "list the subsystems", true, true, NoOptions,
     [](const Service &s, const Args &, bool) { return ListReport(s.GetSubsystems(), "SUBSYSTEM", json::object()); }},
    {"subsystem", "stop", "stop a subsystem", true, true,
     [](CLI::App &v, Args &a) {
         v.add_option("NAME", a.name, "subsystem name")->required();
         v.add_flag("--wait", a.wait, "wait for the stop");
     },
     [](const Service &s, const Args &a, bool) { return Simple(s.StopSubsystem(a.name, a.wait)); }},

    // ---- lock, audit, group, snapshot
    {"lock", "get", "take the exclusive lock; its token opens the locked operations (--lock-key)", false, true,
     NoOptions,
     [](const Service &s, const Args &, bool) {
         const auto r = s.GetLock();
         Table t = Channels(r.status, r.value);
         t.Add({"token", std::to_string(r.data)});
         return ReportOf(r, json{{"token", r.data}}, t);
     }},
    {"lock", "give", "give the exclusive lock back", false, true,
     [](CLI::App &v, Args &a) { v.add_option("TOKEN", a.number, "the token that lock get handed out")->required(); },
     [](const Service &s, const Args &a, bool) { return Simple(s.GiveLock(a.number)); }},
    {"audit", "get", "read the audit-trail configuration", false, true, NoOptions,
     [](const Service &s, const Args &, bool) {
         const auto r = s.GetAuditTrail();
         Table t = Channels(r.status, r.value);
         t.Add({"first setting", std::to_string(r.data.setting_first)});
         t.Add({"second setting", std::to_string(r.data.setting_second)});
         t.Add({"first field", r.data.field_first});
         t.Add({"second field", r.data.field_second});
         return ReportOf(r,
                         json{{"setting_first", r.data.setting_first},
                              {"setting_second", r.data.setting_second},
                              {"field_first", r.data.field_first},
                              {"field_second", r.data.field_second}},
                         t);
     }},
    {"audit", "set", "write the audit-trail configuration", false, true,
     [](CLI::App &v, Args &a) {
         v.add_option("FIRST", a.first, "first setting")->required();
         v.add_option("SECOND", a.second, "second setting")->required();
     },
     [](const Service &s, const Args &a, bool) { return Simple(s.SetAuditTrail(a.first, a.second)); }},
    {"group", "save", "save the registered tasks as a group configuration", false, true,
     [](CLI::App &v, Args &a) { v.add_option("FILE", a.name, "file name")->required(); },
     [](const Service &s, const Args &a, bool) { return Simple(s.SaveGroup(a.name)); }},
    {"group", "load", "load a group configuration", false, true,
     [](CLI::App &v, Args &a) {
         v.add_option("FILE", a.name, "file name")->required();
         v.add_option("--option", a.load_option, "load option (the reference service: 0 replace, 1 merge)")
             ->capture_default_str();
     },
     [](const Service &s, const Args &a, bool) { return Simple(s.LoadGroup(a.name, a.load_option)); }},
    {"snapshot", "update", "update the snapshot list with one entry", false, true,
     [](CLI::App &v, Args &a) {
         v.add_option("NAME", a.name, "snapshot name")->required();
         v.add_option("--option-a", a.option_a, "first option byte, 0-255")->check(CLI::Range(0, 255));
         v.add_option("--option-b", a.option_b, "second option byte, 0-255")->check(CLI::Range(0, 255));
         v.add_option("--option-c", a.option_c, "third option byte, 0-255")->check(CLI::Range(0, 255));
     },
     [](const Service &s, const Args &a, bool) {
         return Simple(s.UpdateSnapshot(Snapshot{a.name, static_cast<std::uint8_t>(a.option_a),
                                                 static_cast<std::uint8_t>(a.option_b),
                                                 static_cast<std::uint8_t>(a.option_c)}));
     }},

    // ---- discover (prints answers as they arrive: no progress line)
    {"", "discover", "find task services by broadcast, listing each answer", false, false,
     [](CLI::App &v, Args &a) {
         v.add_option("TARGET", a.name, "node or domain name (default: every computer of the local domain)");
         v.add_option("--wait", a.wait_ms, "milliseconds to wait for each further answer")->capture_default_str();
     },
     [](const Service &, const Args &a, bool json_out) { return Discover(a, json_out); }},
};

const std::vector<Group> kGroups = {
    {"db", "the database: start, stop, status, version, permissions"},
    {"task", "registered tasks: add, update, remove, start, restart, stop, list"},
    {"process", "processes outside the task list: start, check"},
    {"order", "the startup order of the registered tasks"},
    {"boot", "start of the database when the service starts"},
    {"subsystem", "subsystems of the database"},
    {"lock", "the exclusive lock"},
    {"audit", "the audit-trail configuration"},
    {"group", "group configurations"},
    {"snapshot", "the snapshot list"},
};

} // namespace

Task Args::BuiltTask() const {
    Task t = task;
    t.byte_a = static_cast<std::uint8_t>(byte_a);
    t.byte_b = static_cast<std::uint8_t>(byte_b);
    t.byte_c = static_cast<std::uint8_t>(byte_c);
    return t;
}

const std::vector<Group> &Groups() {
    return kGroups;
}

const std::vector<Verb> &Verbs() {
    return kVerbs;
}

std::string OperationName(const Verb &verb) {
    return *verb.group == '\0' ? std::string(verb.name) : std::string(verb.group) + " " + verb.name;
}

} // namespace vexsrv::tool
