// vexsrv: the command line over the task service, one operation per call.
//
//   vexsrv [--node N] [--suffix S] [--json] [--timeout SECONDS] GROUP VERB ...
//
// Each verb calls one method of the C++ layer (vexsrv::Service) and prints
// its outcome: a short table on success, one line on stderr saying where a
// failure came from, or one JSON object with --json.
#include <cstdint>
#include <functional>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "tools/vexsrv/bounded_call.h"
#include "tools/vexsrv/report.h"
#include "vexsrv/version.h"
#include "vexsrv/vexsrv.h"

namespace vexsrv::tool {
namespace {

using json = nlohmann::ordered_json;

constexpr const char *kExitCodes = R"(Exit codes:
  0  success
  1  the service refused: it answered with a non-zero status
  2  bad usage, or refused locally (by the tool or the local library) before anything was sent
  3  the exchange failed: the service or the node could not be reached
  4  timed out (--timeout): no outcome in time; the outcome on the service is unknown

Every failure message names where it came from: tool, local library, system or service.)";

// Options shared by every call.
struct Globals {
    std::string node = ".";
    std::string suffix;
    bool json = false;
    double timeout = 60;
    std::int32_t lock_key = 0;
};

// The task fields of the command line; the bytes are read as numbers.
struct TaskOptions {
    Task task;
    int layout = 5;
    int byte_a = 0, byte_b = 0, byte_c = 0;

    Task Build() const {
        Task t = task;
        t.byte_a = static_cast<std::uint8_t>(byte_a);
        t.byte_b = static_cast<std::uint8_t>(byte_b);
        t.byte_c = static_cast<std::uint8_t>(byte_c);
        return t;
    }
};

// Which task fields a verb takes.
enum class Fields { Layout1, All };

void AddTaskFields(CLI::App *verb, TaskOptions &o, Fields fields) {
    verb->add_option("--command-line", o.task.command_line, "command line that runs the task");
    verb->add_option("--text-a", o.task.text_a,
                     "text a, sent by updates even when empty (the reference service: the folder it runs in)");
    verb->add_option("--text-b", o.task.text_b, "text b");
    verb->add_option("--text-c", o.task.text_c, "text c");
    verb->add_option("--text-d", o.task.text_d, "text d");
    verb->add_option("--text-e", o.task.text_e, "text e (the reference service: arguments added to the command line)");
    if (fields == Fields::Layout1) return;
    verb->add_option("--text-f", o.task.text_f, "text f (layouts 2-5)");
    verb->add_option("--position", o.task.position,
                     "place in the list; -1, after the last task, is the only one an add accepts")
        ->capture_default_str();
    verb->add_option("--number-a", o.task.number_a, "number a (layouts 2-5)");
    verb->add_option("--number-b", o.task.number_b, "number b (layouts 2-5)");
    verb->add_option("--number-c", o.task.number_c, "number c (layouts 2-5)");
    verb->add_option("--byte-a", o.byte_a, "byte a, 0-255 (layouts 2-5)")->check(CLI::Range(0, 255));
    verb->add_option("--byte-b", o.byte_b, "byte b, 0-255 (layouts 2-5)")->check(CLI::Range(0, 255));
    verb->add_option("--byte-c", o.byte_c, "byte c, 0-255 (layouts 2-5)")->check(CLI::Range(0, 255));
    verb->add_option("--affinity", o.task.affinity, "processor affinity mask (layouts 4-5)");
    verb->add_option("--priority", o.task.priority,
                     "process priority, layout 5 (the reference service: -2 idle to 2 high)");
    verb->add_option("--layout", o.layout, "task record layout, 1-5")->check(CLI::Range(1, 5))->capture_default_str();
}

// A key/value table of the result channels.
Table Channels(std::int32_t status, std::int32_t value) {
    Table t;
    t.Add({"status", std::to_string(status)});
    t.Add({"value", std::to_string(value)});
    return t;
}

Report Simple(const Result<> &r) {
    return ReportOf(r, nullptr, Channels(r.status, r.value));
}

std::string Hex(std::uint32_t v) {
    std::ostringstream out;
    out << "0x" << std::hex << v;
    return out.str();
}

// A list for people: numbered items under a header.
Report ListReport(const Result<std::vector<std::string>> &r, const std::string &column, json extra) {
    Table t;
    t.header = {"#", column};
    for (std::size_t i = 0; i < r.data.size(); ++i)
        t.Add({std::to_string(i + 1), r.data[i]});
    if (r.data.empty()) t = Table{{}, {{"(no " + column + " entries)"}}};
    extra["items"] = r.data;
    return ReportOf(r, std::move(extra), std::move(t));
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

Report Discover(const std::optional<std::string> &target, std::uint32_t wait_ms, bool json_out) {
    const bool show_progress = !json_out && ErrorIsTerminal();
    if (show_progress) {
        const std::lock_guard<std::mutex> hold(OutputLock());
        std::cerr << "Searching " << (target ? "'" + *target + "'" : std::string("the local domain"))
                  << "; waiting for answers (the search ends " << wait_ms << " ms after the last one)..." << std::endl;
    }
    std::vector<BrowseAnswer> answers;
    bool header_printed = false;
    Result<> r = Broadcast(target, wait_ms, [&](const BrowseAnswer &a) {
        answers.push_back(a);
        if (json_out) return;
        const std::lock_guard<std::mutex> hold(OutputLock());
        if (!header_printed) {
            std::cout << Cell("NODE", kNodeWidth) << Cell("SERVICE", kServiceWidth) << "VERSION\n";
            header_printed = true;
        }
        std::cout << Cell(a.first, kNodeWidth) << Cell(a.second, kServiceWidth) << Cell(a.third) << std::endl;
    });
    json list = json::array();
    for (const auto &a : answers)
        list.push_back({{"node", a.first}, {"service", a.second}, {"version", a.third}});
    Table summary;
    summary.Add(
        {std::to_string(answers.size()) + (answers.size() == 1 ? " service answered." : " services answered.")});
    Report rep = ReportOf(r, json{{"answers", list}}, summary);
    rep.value = static_cast<std::int32_t>(answers.size());
    return rep;
}

int Main(int argc, char **argv) {
    CLI::App app{"vexsrv: control the Tidewell task service of a node, one operation per call."};
    app.footer(kExitCodes);
    app.fallthrough();
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("vexsrv ") + VEXSRV_VERSION_STRING);

    Globals g;
    app.add_option("--node", g.node, "node that runs the service (\".\": this computer)")->capture_default_str();
    app.add_option("--suffix", g.suffix, "service suffix: selects the service instance on the node");
    app.add_flag("--json", g.json, "print one JSON object per call: ok, value, status, message, source, data");
    app.add_option("--timeout", g.timeout, "bound of the call in seconds; exit code 4 when it runs out")
        ->check(CLI::Range(0.001, 1.0e6))
        ->capture_default_str();
    app.add_option("--lock-key", g.lock_key,
                   "lock key sent by the operations that carry one (the exclusive-lock token while a lock is held)")
        ->capture_default_str();

    std::string operation;
    std::function<Report()> action;
    auto service = [&g] { return Service(g.node, g.suffix, g.lock_key); };

    // Adds a verb whose action is built when the command line names it.
    auto verb = [&](CLI::App *group, const std::string &name, const std::string &help, std::function<Report()> run) {
        CLI::App *v = group->add_subcommand(name, help);
        const std::string op = group->get_name() + " " + name;
        v->callback([&operation, &action, op, run] {
            operation = op;
            action = run;
        });
        return v;
    };
    auto group = [&app](const std::string &name, const std::string &help) {
        CLI::App *grp = app.add_subcommand(name, help);
        grp->require_subcommand(1);
        return grp;
    };

    // ---- db ----------------------------------------------------------------
    CLI::App *db = group("db", "the database: start, stop, status, version, permissions");
    bool cluster = false;
    verb(db, "start", "start the database", [&] {
        return Simple(service().StartDatabase(cluster));
    })->add_flag("--cluster", cluster, "the cluster form of the start");
    verb(db, "stop", "stop the database", [&] {
        return Simple(service().StopDatabase(cluster));
    })->add_flag("--cluster", cluster, "the cluster form of the stop");
    verb(db, "status", "read the database status", [&] { return Simple(service().GetStatus()); });
    verb(db, "check", "check the database (two values)", [&] {
        const auto r = service().Check();
        Table t = Channels(r.status, r.value);
        t.Add({"first value", std::to_string(r.data.first)});
        t.Add({"second value", std::to_string(r.data.second)});
        return ReportOf(r, json{{"first", r.data.first}, {"second", r.data.second}}, t);
    });
    std::int32_t new_status = 0;
    verb(db, "set-status", "set the database status", [&] { return Simple(service().SetStatus(new_status)); })
        ->add_option("STATUS", new_status, "the status value to set")
        ->required();
    verb(db, "unmap", "unmap the database's programs", [&] { return Simple(service().UnmapPrograms()); });
    verb(db, "stop-external", "stop the external tasks", [&] { return Simple(service().StopExternalTasks()); });
    verb(db, "version", "read the database version", [&] {
        const auto r = service().GetVersion();
        Table t;
        t.Add({"version", std::to_string(r.data.first) + "." + std::to_string(r.data.second) + "." +
                              std::to_string(r.data.third)});
        t.Add({"text", r.data.text});
        Report rep = ReportOf(
            r, json{{"first", r.data.first}, {"second", r.data.second}, {"third", r.data.third}, {"text", r.data.text}},
            t);
        // The version's outcome arrives as its text, not as a message.
        if (!rep.ok && rep.message.empty()) rep.message = r.data.text;
        return rep;
    });
    std::int32_t query = 0;
    verb(db, "permissions", "read the database permissions",
         [&] {
             const auto r = service().GetPermissions(query);
             Table t = Channels(r.status, r.value);
             t.Add({"first word", Hex(r.data.first)});
             t.Add({"second word", Hex(r.data.second)});
             return ReportOf(r, json{{"first", r.data.first}, {"second", r.data.second}}, t);
         })
        ->add_option("--query", query, "query value")
        ->capture_default_str();

    // ---- task --------------------------------------------------------------
    CLI::App *task = group("task", "registered tasks: add, update, remove, start, stop, list");
    TaskOptions add_opts, update_opts, remove_opts, start_opts;
    auto named = [](CLI::App *v, TaskOptions &o, bool required) {
        auto *opt = v->add_option("NAME,--name", o.task.name, "task name");
        if (required) opt->required();
    };
    CLI::App *add = verb(task, "add", "register a task at the end of the list", [&] {
        return Simple(service().AddTask(add_opts.Build(), static_cast<Layout>(add_opts.layout)));
    });
    named(add, add_opts, false);
    AddTaskFields(add, add_opts, Fields::All);
    CLI::App *update = verb(task, "update", "update a registered task", [&] {
        return Simple(service().UpdateTask(update_opts.Build(), static_cast<Layout>(update_opts.layout)));
    });
    named(update, update_opts, false);
    AddTaskFields(update, update_opts, Fields::All);
    CLI::App *remove = verb(task, "remove", "remove a registered task (layout-1 record)",
                            [&] { return Simple(service().RemoveTask(remove_opts.Build())); });
    named(remove, remove_opts, false);
    AddTaskFields(remove, remove_opts, Fields::Layout1);
    bool no_block = false;
    int modifier = 0;
    CLI::App *start =
        verb(task, "start", "start a registered task by name, or a task from a record (--command-line)", [&] {
            if (!start_opts.task.command_line.empty()) return Simple(service().StartTask(start_opts.Build()));
            if (start_opts.task.name.empty())
                return ToolReport(kExitUsage, "task start needs a NAME or a --command-line");
            return Simple(service().StartTaskByName(start_opts.task.name,
                                                    static_cast<std::int16_t>(static_cast<std::uint16_t>(modifier)),
                                                    no_block ? Wait::No : Wait::Yes));
        });
    named(start, start_opts, false);
    AddTaskFields(start, start_opts, Fields::Layout1);
    start->add_flag("--no-block", no_block, "do not wait for the start (by name)");
    start->add_option("--modifier", modifier, "16-bit modifier of a start by name")->check(CLI::Range(-32768, 65535));
    std::string stop_name;
    std::int32_t stop_value = 0;
    CLI::App *stop =
        verb(task, "stop", "stop a task by name", [&] { return Simple(service().StopTask(stop_name, stop_value)); });
    stop->add_option("NAME,--name", stop_name, "task name")->required();
    stop->add_option("--stop-value", stop_value, "value sent with the stop")->capture_default_str();
    bool startup_order = false;
    verb(task, "list", "list the registered tasks", [&] {
        const auto r = service().GetTaskList(startup_order ? Order::Startup : Order::List);
        return ListReport(r, "TASK", json{{"order", startup_order ? "startup" : "list"}});
    })->add_flag("--startup-order", startup_order, "in startup order (default: list order)");

    // ---- process -----------------------------------------------------------
    CLI::App *process = group("process", "processes outside the task list: start, check");
    TaskOptions proc;
    CLI::Option *affinity = nullptr;
    CLI::Option *priority = nullptr;
    CLI::App *pstart = verb(process, "start", "start a process (with affinity and priority when given)", [&] {
        const Launch launch = priority->count() > 0   ? Launch::AffinityPriority
                              : affinity->count() > 0 ? Launch::Affinity
                                                      : Launch::Plain;
        return Simple(service().StartProcess(proc.Build(), launch));
    });
    pstart->add_option("--command-line", proc.task.command_line, "command line of the process")->required();
    pstart->add_option("--text-a", proc.task.text_a, "text a (the reference service: the folder it runs in)");
    pstart->add_option("--text-e", proc.task.text_e,
                       "text e (the reference service: arguments added to the command line)");
    affinity = pstart->add_option("--affinity", proc.task.affinity, "processor affinity mask");
    priority = pstart->add_option("--priority", proc.task.priority,
                                  "process priority (the reference service: -2 idle to 2 high)");
    verb(process, "check", "have the service check its running list",
         [&] { return Simple(service().CheckRunningList()); });

    // ---- order, boot, subsystem ----------------------------------------------
    CLI::App *order = group("order", "the startup order of the registered tasks");
    std::vector<std::string> order_names;
    verb(order, "set", "set the startup order", [&] { return Simple(service().SetStartupOrder(order_names)); })
        ->add_option("NAMES", order_names, "task names, first to start first")
        ->required();
    CLI::App *boot = group("boot", "start of the service at system boot");
    verb(boot, "on", "start at boot", [&] { return Simple(service().SetStartAtBoot(true)); });
    verb(boot, "off", "do not start at boot", [&] { return Simple(service().SetStartAtBoot(false)); });
    CLI::App *subsystem = group("subsystem", "subsystems of the database");
    verb(subsystem, "list", "list the subsystems",
         [&] { return ListReport(service().GetSubsystems(), "SUBSYSTEM", json::object()); });
    std::string subsystem_name;
    bool wait_stop = false;
    CLI::App *sstop = verb(subsystem, "stop", "stop a subsystem",
                           [&] { return Simple(service().StopSubsystem(subsystem_name, wait_stop)); });
    sstop->add_option("NAME", subsystem_name, "subsystem name")->required();
    sstop->add_flag("--wait", wait_stop, "wait for the stop");

    // ---- lock, audit, group, snapshot ------------------------------------------
    CLI::App *lock = group("lock", "the exclusive lock");
    verb(lock, "get", "take the exclusive lock", [&] {
        const auto r = service().GetLock();
        Table t = Channels(r.status, r.value);
        t.Add({"token", std::to_string(r.data)});
        return ReportOf(r, json{{"token", r.data}}, t);
    });
    std::int32_t token = 0;
    verb(lock, "give", "give the exclusive lock back", [&] { return Simple(service().GiveLock(token)); })
        ->add_option("TOKEN", token, "the token that lock get handed out")
        ->required();
    CLI::App *audit = group("audit", "the audit-trail configuration");
    verb(audit, "get", "read the audit-trail configuration", [&] {
        const auto r = service().GetAuditTrail();
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
    });
    std::int32_t setting_first = 0, setting_second = 0;
    CLI::App *aset = verb(audit, "set", "write the audit-trail configuration",
                          [&] { return Simple(service().SetAuditTrail(setting_first, setting_second)); });
    aset->add_option("FIRST", setting_first, "first setting")->required();
    aset->add_option("SECOND", setting_second, "second setting")->required();
    CLI::App *grp = group("group", "group configurations");
    std::string file_name;
    std::int32_t load_option = 0;
    verb(grp, "save", "save the group configuration", [&] { return Simple(service().SaveGroup(file_name)); })
        ->add_option("FILE", file_name, "file name")
        ->required();
    CLI::App *gload = verb(grp, "load", "load a group configuration",
                           [&] { return Simple(service().LoadGroup(file_name, load_option)); });
    gload->add_option("FILE", file_name, "file name")->required();
    gload->add_option("--option", load_option, "load option")->capture_default_str();
    CLI::App *snapshot = group("snapshot", "the snapshot list");
    std::string snapshot_name;
    int option_a = 0, option_b = 0, option_c = 0;
    CLI::App *supdate = verb(snapshot, "update", "update the snapshot list with one entry", [&] {
        return Simple(service().UpdateSnapshot(Snapshot{snapshot_name, static_cast<std::uint8_t>(option_a),
                                                        static_cast<std::uint8_t>(option_b),
                                                        static_cast<std::uint8_t>(option_c)}));
    });
    supdate->add_option("NAME", snapshot_name, "snapshot name")->required();
    supdate->add_option("--option-a", option_a, "first option byte, 0-255")->check(CLI::Range(0, 255));
    supdate->add_option("--option-b", option_b, "second option byte, 0-255")->check(CLI::Range(0, 255));
    supdate->add_option("--option-c", option_c, "third option byte, 0-255")->check(CLI::Range(0, 255));

    // ---- discover ------------------------------------------------------------
    std::string target;
    std::uint32_t wait_ms = 2000;
    CLI::App *discover = app.add_subcommand("discover", "find task services by broadcast, listing each answer");
    discover->add_option("TARGET", target, "node or domain name (default: every computer of the local domain)");
    discover->add_option("--wait", wait_ms, "milliseconds to wait for each further answer")->capture_default_str();
    discover->callback([&] {
        operation = "discover";
        action = [&] {
            return Discover(target.empty() ? std::nullopt : std::optional<std::string>(target), wait_ms, g.json);
        };
    });

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForVersion &e) {
        std::cout << e.what() << '\n';
        return 0;
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        // The parse stopped early: --json counts wherever it was written.
        bool json_out = false;
        for (int i = 1; i < argc; ++i)
            json_out = json_out || std::string_view(argv[i]) == "--json";
        Print(
            ToolReport(kExitUsage, std::string(e.what()) + (json_out ? "" : "\nRun with --help for more information.")),
            operation, json_out);
        return kExitUsage;
    }
    if (!action) return kExitUsage;

    const Report rep = RunBounded(g.timeout, action, operation, g.json);
    Print(rep, operation, g.json);
    return rep.exit_code;
}

} // namespace
} // namespace vexsrv::tool

int main(int argc, char **argv) {
    return vexsrv::tool::Main(argc, argv);
}
