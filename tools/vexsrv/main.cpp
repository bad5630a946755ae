// vexsrv: the command line over the task service, one operation per call.
//
//   vexsrv [--node N] [--suffix S] [--json] [--timeout SECONDS] GROUP VERB ...
//   vexsrv help [GROUP [VERB]]
//
// The groups and verbs are the table of commands.cpp. This file checks the
// command words against it (naming a misspelt word with the closest choice),
// parses the verb's options, and runs the verb through Perform, the one place
// that calls the service and reports the outcome.
#include <algorithm>
#include <cstdint>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/vexsrv/bounded_call.h"
#include "tools/vexsrv/commands.h"
#include "tools/vexsrv/fleet.h"
#include "tools/vexsrv/report.h"
#include "tools/vexsrv/suggest.h"
#include "vexsrv/version.h"
#include "vexsrv/vexsrv.h"

namespace vexsrv::tool {
namespace {

constexpr const char *kExitCodes = R"(Commands: vexsrv help [GROUP [VERB]] lists the verbs of a group and the options of a verb.

Exit codes:
  0  success (is-running: it runs)
  1  the service refused: it answered with a non-zero status (is-running: it does not run)
  2  bad usage, or refused locally (by the tool or the local library) before anything was sent
  3  the exchange failed: the service or the node could not be reached
  4  timed out (--timeout): no outcome in time; the outcome on the service is unknown
  5  is-running only: the service refused the query
With several nodes (--node A --node B, --nodes A,B, --all): 0 when every node succeeded, else the code of
the worst outcome among them, in this order: 4, 3, 5, 2, 1; "N of M nodes failed" on stderr.

Every failure message names where it came from: tool, library, system, unreachable, service or timeout.)";

constexpr const char *kVerbFooter =
    "Global options (before or after the command): --node, --suffix, --json, --timeout; see vexsrv help.";

// Options shared by every call.
struct Globals {
    std::string node = ".";
    std::string suffix;
    bool json = false;
    double timeout = 60;
    std::int32_t lock_key = 0;
    // Several nodes: --node more than once, --nodes, or --all.
    std::vector<std::string> node_options;
    std::vector<std::string> node_lists;
    bool all = false;
    std::uint32_t wait_ms = 2000;
    std::size_t parallel = 16;
};

// The nodes named by --node and --nodes, in the order given, each once.
std::vector<std::string> NamedNodes(const Globals &g) {
    std::vector<std::string> nodes;
    for (const auto *list : {&g.node_options, &g.node_lists})
        for (const std::string &node : *list)
            if (std::find(nodes.begin(), nodes.end(), node) == nodes.end()) nodes.push_back(node);
    return nodes;
}

// Runs one verb against one service instance and returns its outcome, bounded
// by --timeout and with the progress line on a terminal.
Report Perform(const Verb &verb, const Args &args, const Globals &g) {
    const Service service(g.node, g.suffix, verb.carries_lock_key ? g.lock_key : 0);
    const bool progress = verb.progress && !g.json && ErrorIsTerminal();
    return RunBounded(
        g.timeout, [&] { return verb.run(service, args, g.json); }, OperationName(verb), g.json, progress);
}

// ---- The command words, checked before the options are parsed ------------------

// The global options that take a value, so that their values are not taken
// for command words.
bool TakesValue(std::string_view option) {
    return option == "--node" || option == "--suffix" || option == "--timeout" || option == "--lock-key" ||
           option == "--nodes" || option == "--parallel" || option == "--wait";
}

struct CommandWords {
    std::vector<std::string> words; // help, group, verb: as written
    bool asks_help = false;         // --help or -h
    bool asks_version = false;
};

// The leading words of the command line: up to three for "help GROUP VERB",
// two for "GROUP VERB", one for a verb without a group.
CommandWords ReadWords(int argc, char **argv) {
    CommandWords c;
    std::size_t wanted = 2;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--help" || a == "-h") c.asks_help = true;
        if (a == "--version") c.asks_version = true;
        if (a == "--") break;
        if (a.size() > 1 && a[0] == '-') {
            if (TakesValue(a) && i + 1 < argc) ++i;
            continue;
        }
        if (c.words.size() >= wanted) continue;
        c.words.emplace_back(a);
        if (c.words.size() == 1) {
            if (a == "help") wanted = 3;
            for (const auto &v : Verbs())
                if (*v.group == '\0' && a == v.name) wanted = 1;
        }
    }
    return c;
}

std::vector<std::string> CommandChoices() {
    std::vector<std::string> choices;
    for (const auto &g : Groups())
        choices.emplace_back(g.name);
    for (const auto &v : Verbs())
        if (*v.group == '\0') choices.emplace_back(v.name);
    choices.emplace_back("help");
    return choices;
}

std::vector<std::string> VerbChoices(std::string_view group) {
    std::vector<std::string> choices;
    for (const auto &v : Verbs())
        if (group == v.group) choices.emplace_back(v.name);
    return choices;
}

bool IsGroup(std::string_view word) {
    for (const auto &g : Groups())
        if (word == g.name) return true;
    return false;
}

const Verb *FindVerb(std::string_view group, std::string_view name) {
    for (const auto &v : Verbs())
        if (group == v.group && name == v.name) return &v;
    return nullptr;
}

std::string Joined(const std::vector<std::string> &words) {
    std::string out;
    for (const auto &w : words)
        out += (out.empty() ? "" : ", ") + w;
    return out;
}

std::string Unknown(const std::string &word, const std::vector<std::string> &choices, const std::string &which) {
    std::string text = "unknown command '" + word + "'";
    if (const std::string near = ClosestChoice(word, choices); !near.empty()) text += "; did you mean '" + near + "'?";
    return text + "\n" + which + ": " + Joined(choices);
}

// What the words name: a verb, or the refusal of the tool. words_used is the
// number of words that named it.
struct Resolved {
    const Verb *verb = nullptr;
    std::string group; // a group named without a verb
    std::string refusal;
};

Resolved Resolve(const std::vector<std::string> &words, std::size_t first, bool verb_optional) {
    Resolved r;
    if (words.size() <= first) return r;
    const std::string &word = words[first];
    if (const Verb *v = FindVerb("", word)) {
        r.verb = v;
        return r;
    }
    if (!IsGroup(word)) {
        r.refusal = Unknown(word, CommandChoices(), "The commands are");
        return r;
    }
    r.group = word;
    if (words.size() <= first + 1) {
        if (!verb_optional) r.refusal = "'" + word + "' needs a verb: " + Joined(VerbChoices(word));
        return r;
    }
    const std::string &name = words[first + 1];
    r.verb = FindVerb(word, name);
    if (r.verb == nullptr) r.refusal = Unknown(name, VerbChoices(word), "The verbs of '" + word + "' are");
    return r;
}

// The operation a report names: the command as far as it is known.
std::string NameOf(const std::vector<std::string> &words) {
    if (words.empty()) return "vexsrv";
    std::string out;
    for (std::size_t i = 0; i < words.size() && i < 3; ++i)
        out += (i == 0 ? "" : " ") + words[i];
    return out;
}

int Refuse(const std::string &operation, const std::string &message, bool json) {
    Print(ToolReport(kExitUsage, json ? message : message + "\nRun 'vexsrv help' for the commands."), operation,
          json);
    return kExitUsage;
}

int Main(int argc, char **argv) {
    bool json_out = false; // --json counts wherever it was written, also when the parse fails
    for (int i = 1; i < argc; ++i)
        json_out = json_out || std::string_view(argv[i]) == "--json";

    CLI::App app{"vexsrv: control the Tidewell task service of a node, one operation per call.", "vexsrv"};
    app.footer(kExitCodes);
    app.fallthrough();
    app.require_subcommand(0, 1);
    app.set_version_flag("--version", std::string("vexsrv ") + VEXSRV_VERSION_STRING);

    Globals g;
    Args args;
    app.add_option("--node", g.node_options,
                   "node that runs the service (\".\": this computer, the default); more than once: run on each")
        ->expected(1)
        ->take_all();
    app.add_option("--nodes", g.node_lists, "several nodes, separated by commas: run on each at once")
        ->delimiter(',')
        ->expected(1)
        ->take_all();
    app.add_flag("--all", g.all, "run on every node that answers a broadcast (see --wait)");
    app.add_option("--wait", g.wait_ms, "with --all: milliseconds to wait for each further answer of the broadcast")
        ->capture_default_str();
    app.add_option("--parallel", g.parallel, "with several nodes: calls running at once")
        ->check(CLI::Range(1, 1024))
        ->capture_default_str();
    app.add_option("--suffix", g.suffix, "service suffix: selects the service instance on the node");
    app.add_flag("--json", g.json, "print one JSON object per call (schema: docs/cli.md)");
    app.add_option("--timeout", g.timeout, "bound of the call in seconds; exit code 4 when it runs out")
        ->check(CLI::Range(0.001, 1.0e6))
        ->capture_default_str();
    // Also accepted before the command; the verbs that send it list it.
    CLI::Option *global_key = app.add_option("--lock-key", g.lock_key)->group("");

    // The table, as subcommands: a group holds its verbs.
    const Verb *selected = nullptr;
    std::map<std::string, CLI::App *> groups;
    std::map<const Verb *, CLI::App *> verbs;
    for (const auto &grp : Groups()) {
        CLI::App *sub = app.add_subcommand(grp.name, grp.summary);
        sub->require_subcommand(0, 1);
        sub->footer("The verbs' options: vexsrv help " + std::string(grp.name) + " VERB");
        groups[grp.name] = sub;
    }
    for (const auto &v : Verbs()) {
        CLI::App *parent = *v.group == '\0' ? &app : groups.at(v.group);
        CLI::App *sub = parent->add_subcommand(v.name, v.summary);
        v.options(*sub, args);
        if (v.carries_lock_key)
            sub->add_option("--lock-key", g.lock_key,
                            "lock key sent with the request (the exclusive-lock token while a lock is held)")
                ->capture_default_str();
        sub->footer(kVerbFooter);
        sub->callback([&selected, &v] { selected = &v; });
        verbs[&v] = sub;
    }

    const CommandWords c = ReadWords(argc, argv);
    if (!c.words.empty() && c.words[0] == "help") {
        const Resolved r = Resolve(c.words, 1, true);
        if (!r.refusal.empty()) return Refuse(NameOf(c.words), r.refusal, json_out);
        if (r.verb != nullptr)
            std::cout << verbs.at(r.verb)->help(*r.verb->group == '\0' ? "vexsrv" : "vexsrv " + r.group);
        else if (!r.group.empty())
            std::cout << groups.at(r.group)->help("vexsrv");
        else
            std::cout << app.help();
        return kExitOk;
    }
    if (!c.asks_help && !c.asks_version) {
        if (c.words.empty()) return Refuse("vexsrv", "a command is required", json_out);
        const Resolved r = Resolve(c.words, 0, false);
        if (!r.refusal.empty()) return Refuse(NameOf(c.words), r.refusal, json_out);
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForVersion &e) {
        std::cout << e.what() << '\n';
        return kExitOk;
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        const std::string operation = selected ? OperationName(*selected) : NameOf(c.words);
        std::string what = e.what();
        // A task name may come as the first argument or as --name.
        if (what == "--name is required") what = "NAME (the task name) is required";
        return Refuse(operation, operation + ": " + what, json_out);
    }
    if (selected == nullptr) return Refuse(NameOf(c.words), "a command is required", json_out);
    const std::string operation = OperationName(*selected);
    if (global_key->count() > 0 && !selected->carries_lock_key)
        return Refuse(operation, operation + " sends no lock key: --lock-key does not apply", json_out);

    const std::vector<std::string> named = NamedNodes(g);
    if (g.all || !g.node_lists.empty() || g.node_options.size() > 1) {
        if (g.all && !named.empty()) return Refuse(operation, "--all does not go with --node or --nodes", json_out);
        if (*selected->group == '\0') return Refuse(operation, operation + " does not run per node", json_out);
        if (!g.all && named.empty()) return Refuse(operation, "--nodes names no node", json_out);
        FleetRequest f{named, g.all, g.wait_ms, g.parallel, g.timeout, g.json, g.suffix, g.lock_key};
        return RunOnNodes(*selected, args, f);
    }
    if (!named.empty()) g.node = named.front();

    const Report rep = Perform(*selected, args, g);
    Print(rep, operation, g.json);
    return rep.exit_code;
}

} // namespace
} // namespace vexsrv::tool

int main(int argc, char **argv) {
    return vexsrv::tool::Main(argc, argv);
}
