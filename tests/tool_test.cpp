// The vexsrv tool against the reference service: every group of verbs once,
// the exit codes of the documented table, and the JSON output parsed back.
// The tool and the service are the built programs next to this one; the
// service runs with a suffix and a state folder of this run alone.
//
// Run as "tool_tests --sleep SECONDS" this program only sleeps: the tasks and
// processes that the service starts for the tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/pipe_server.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_service.h"
#include "vexsrv/vexsrv.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace vex::test {
namespace {

using nlohmann::json;

#if defined(_WIN32)
constexpr const char *kExe = ".exe";
#else
constexpr const char *kExe = "";
#endif

// This program's own path, and the folder of the built programs.
std::string SelfPath() {
#if defined(_WIN32)
    char buf[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, buf, sizeof buf);
    return buf;
#else
    return std::filesystem::read_symlink("/proc/self/exe").string();
#endif
}
std::string Program(const std::string &name) {
    return (std::filesystem::path(SelfPath()).parent_path() / (name + kExe)).string();
}
// A command line that runs for a while and then ends by itself.
std::string Sleeper(int seconds) {
    return SelfPath() + " --sleep " + std::to_string(seconds);
}

// One call of the tool.
struct Call {
    int code = -1;
    json j;          // the parsed JSON object (with --json)
    std::string out; // stdout as printed
    std::string err; // stderr as printed
};

// Windows consoles end lines with CR LF; the tests compare LF alone.
std::string WithoutCarriageReturns(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

// How long one call of the tool may take before the test gives up on it.
constexpr double kCallLimit = 120;

// The members of "data" that each operation returns on success (docs/cli.md).
const std::map<std::string, std::set<std::string>> kDataMembers = {
    {"db start", {}},
    {"db stop", {}},
    {"db status", {"state"}},
    {"db is-running", {"state", "running"}},
    {"db check", {"first", "second"}},
    {"db set-status", {"state"}},
    {"db unmap", {}},
    {"db stop-external", {}},
    {"db version", {"first", "second", "third", "text"}},
    {"db permissions", {"first", "second"}},
    {"task add", {}},
    {"task update", {}},
    {"task remove", {}},
    {"task start", {}},
    {"task restart", {}},
    {"task run", {}},
    {"task stop", {}},
    {"task list", {"order", "items"}},
    {"process start", {}},
    {"process check", {}},
    {"order set", {}},
    {"boot on", {}},
    {"boot off", {}},
    {"subsystem list", {"items"}},
    {"subsystem stop", {}},
    {"lock get", {"token"}},
    {"lock give", {}},
    {"audit get", {"setting_first", "setting_second", "field_first", "field_second"}},
    {"audit set", {}},
    {"group save", {}},
    {"group load", {}},
    {"snapshot update", {}},
    {"discover", {"answers"}},
};

// Checks one JSON answer of the tool against the documented schema; returns
// what is wrong, or "" when nothing is.
std::string SchemaFaults(const json &j, int exit_code) {
    if (!j.is_object()) return "not an object";
    static const std::set<std::string> kMembers = {"operation", "ok",    "exit_code", "source",
                                                   "status",    "value", "message",   "data"};
    static const std::set<std::string> kSources = {"service", "system", "library", "unreachable", "tool", "timeout"};
    std::string faults;
    for (const auto &[key, member] : j.items())
        if (kMembers.count(key) == 0) faults += "unknown member " + key + "; ";
    for (const char *required : {"operation", "ok", "exit_code", "source", "message", "data"})
        if (!j.contains(required)) faults += std::string("no ") + required + "; ";
    if (!faults.empty()) return faults;
    if (!j["operation"].is_string() || j["operation"].get<std::string>().empty()) faults += "operation unnamed; ";
    if (!j["ok"].is_boolean()) faults += "ok not a boolean; ";
    if (!j["exit_code"].is_number_integer() || j["exit_code"] != exit_code) faults += "exit_code not the exit code; ";
    if (!j["source"].is_string() || kSources.count(j["source"].get<std::string>()) == 0) faults += "bad source; ";
    if (!j["message"].is_string()) faults += "message not a text; ";
    if (!j["data"].is_object()) return faults + "data not an object; ";
    const std::string source = j["source"].is_string() ? j["source"].get<std::string>() : "";
    if (j.contains("status") && (!j["status"].is_number_integer() || (source != "service" && source != "system")))
        faults += "status without a reply or a system error; ";
    if (j.contains("value") && (!j["value"].is_number_integer() || source != "service"))
        faults += "value without a reply; ";
    if (j["ok"] == true && source != "service") faults += "success not from the service; ";
    const auto known = kDataMembers.find(j["operation"].get<std::string>());
    if (known == kDataMembers.end()) {
        if (source != "tool" || !j["data"].empty()) faults += "operation not of the table; ";
        return faults;
    }
    for (const auto &[key, member] : j["data"].items()) {
        if (known->second.count(key) == 0) faults += "data member " + key + " not documented; ";
        if (member.is_null() || member == -1) faults += "placeholder in data." + key + "; ";
    }
    // A failure returns no data but the answers a search received.
    if (j["ok"] == false && !j["data"].empty() && j["operation"] != "discover") faults += "data of a failure; ";
    if (j["ok"] == true)
        for (const auto &member : known->second)
            if (!j["data"].contains(member) && member != "state") faults += "no data." + member + "; ";
    return faults;
}

Call RunTool(std::vector<std::string> args, bool json_out) {
    std::vector<std::string> argv{Program("vexsrv")};
    if (json_out) argv.push_back("--json");
    argv.insert(argv.end(), args.begin(), args.end());
    const RunOutput o = RunProgram(argv, kCallLimit);
    Call c{o.exit_code, nullptr, WithoutCarriageReturns(o.out), WithoutCarriageReturns(o.err)};
    if (json_out) {
        c.j = json::parse(o.out, nullptr, /*allow_exceptions=*/false);
        EXPECT_TRUE(c.j.is_object()) << "not one JSON object: " << o.out << o.err;
        EXPECT_EQ(SchemaFaults(c.j, o.exit_code), "") << o.out;
    }
    return c;
}

std::vector<std::string> Items(const Call &c) {
    std::vector<std::string> items;
    if (c.j.is_object() && c.j["data"].is_object() && c.j["data"]["items"].is_array())
        for (const auto &i : c.j["data"]["items"])
            items.push_back(i.get<std::string>());
    return items;
}

#define EXPECT_CALL_EXIT(call, expected)                                                                               \
    EXPECT_EQ((call).code, (expected)) << "stdout: " << (call).out << "\nstderr: " << (call).err

// ---- Without a service ------------------------------------------------------------

TEST(ToolUsage, HelpDocumentsTheExitCodesAndBadUsageIsTwo) {
    Call help = RunTool({"--help"}, false);
    EXPECT_CALL_EXIT(help, 0);
    EXPECT_NE(help.out.find("Exit codes:"), std::string::npos);
    EXPECT_NE(help.out.find("4  timed out"), std::string::npos);

    const Call version = RunTool({"--version"}, false);
    EXPECT_CALL_EXIT(version, 0);
    EXPECT_EQ(version.out, "vexsrv 1.0.0\n");
    const RunOutput service_version = RunProgram({Program("tidewell-taskd"), "--version"}, kCallLimit);
    EXPECT_EQ(service_version.exit_code, 0);
    EXPECT_EQ(WithoutCarriageReturns(service_version.out), "tidewell-taskd 1.0.0\n");

    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {}, {"db"}, {"db", "frobnicate"}, {"--timeout", "0", "db", "status"}, {"lock", "give", "x"}}) {
        const Call c = RunTool(args, false);
        EXPECT_CALL_EXIT(c, 2);
        EXPECT_EQ(c.err.rfind("vexsrv: tool: ", 0), 0u) << c.err;
    }
    const Call j = RunTool({"lock", "give", "x"}, true);
    EXPECT_CALL_EXIT(j, 2);
    EXPECT_EQ(j.j["source"], "tool");
    EXPECT_EQ(j.j["exit_code"], 2);
}

TEST(ToolUsage, AMissingServiceIsThree) {
    const std::string suffix = UniqueSuffix("none");
    const Call c = RunTool({"--suffix", suffix, "db", "start"}, true);
    EXPECT_CALL_EXIT(c, 3);
    EXPECT_EQ(c.j["ok"], false);
    EXPECT_EQ(c.j["source"], "system");
    EXPECT_EQ(c.j["status"], 2);
    EXPECT_EQ(c.j["exit_code"], 3);
    EXPECT_EQ(c.j["message"].get<std::string>().rfind(
                  "Cannot connect to service 'Kestrane Tidewell Task Service" + suffix + "' on node '.'", 0),
              0u);

    const Call text = RunTool({"--suffix", suffix, "db", "start"}, false);
    EXPECT_CALL_EXIT(text, 3);
    EXPECT_EQ(text.err.rfind("vexsrv: system: Cannot connect", 0), 0u) << text.err;
}

// A service that takes each request and never answers it.
class SilentService {
  public:
    SilentService() : suffix_(UniqueSuffix("mute")) {
        std::uint32_t error = 0;
        server_ = platform::ServePipe("ZEPTAR_" + suffix_ + "_TSK_REQ", &error);
        if (server_ != nullptr) thread_ = std::thread([this] { Hold(); });
    }
    ~SilentService() {
        if (server_ != nullptr) server_->Stop();
        if (thread_.joinable()) thread_.join();
    }
    const std::string &suffix() const { return suffix_; }

  private:
    void Hold() {
        while (auto c = server_->Accept())
            held_.push_back(std::move(c));
    }
    std::string suffix_;
    std::unique_ptr<platform::PipeServer> server_;
    std::vector<std::unique_ptr<platform::PipeConnection>> held_;
    std::thread thread_;
};

TEST(ToolUsage, ACallThatRunsOutOfTimeIsFourAndItsOutcomeUnknown) {
    SilentService mute;
    const Call c = RunTool({"--suffix", mute.suffix(), "--timeout", "0.5", "db", "start"}, true);
    EXPECT_CALL_EXIT(c, 4);
    EXPECT_EQ(c.j["source"], "timeout");
    EXPECT_EQ(c.j["exit_code"], 4);
    EXPECT_NE(c.j["message"].get<std::string>().find("outcome on the service is unknown"), std::string::npos);

    const Call text = RunTool({"--suffix", mute.suffix(), "--timeout", "0.5", "db", "stop"}, false);
    EXPECT_CALL_EXIT(text, 4);
    EXPECT_EQ(text.err.rfind("vexsrv: timeout: no outcome within 0.5 s", 0), 0u) << text.err;
    EXPECT_EQ(text.err.find('\r'), std::string::npos) << "a progress line where stderr is no terminal";
}

TEST(ToolUsage, AMisspeltCommandIsNamedWithTheClosestChoice) {
    struct Case {
        std::vector<std::string> args;
        std::string operation, says;
    };
    for (const Case &k : std::vector<Case>{
             {{"db", "strat"}, "db strat", "unknown command 'strat'; did you mean 'start'?"},
             {{"dbb", "start"}, "dbb start", "unknown command 'dbb'; did you mean 'db'?"},
             {{"--suffix", "x", "task", "stpo", "n"}, "task stpo", "unknown command 'stpo'; did you mean 'stop'?"},
             {{"subsys", "list"}, "subsys list", "unknown command 'subsys'; did you mean 'subsystem'?"},
             {{"help", "db", "strat"}, "help db strat", "unknown command 'strat'; did you mean 'start'?"},
             {{"db"}, "db", "'db' needs a verb: start, stop, status, is-running,"},
             {{}, "vexsrv", "a command is required"},
         }) {
        const Call text = RunTool(k.args, false);
        EXPECT_CALL_EXIT(text, 2);
        EXPECT_EQ(text.err.rfind("vexsrv: tool: " + k.says, 0), 0u) << text.err;
        const Call j = RunTool(k.args, true);
        EXPECT_CALL_EXIT(j, 2);
        EXPECT_EQ(j.j["operation"], k.operation);
        EXPECT_EQ(j.j["source"], "tool");
        EXPECT_EQ(j.j["message"].get<std::string>().rfind(k.says, 0), 0u) << j.j["message"];
    }
    // The choices are listed; a word near none of them gets no guess.
    const Call distant = RunTool({"db", "frobnicate"}, false);
    EXPECT_EQ(distant.err.find("did you mean"), std::string::npos) << distant.err;
    EXPECT_NE(distant.err.find("The verbs of 'db' are: start, stop, status, is-running, check"), std::string::npos);
}

TEST(ToolUsage, HelpListsOnlyTheOptionsAVerbUses) {
    const Call all = RunTool({"help"}, false);
    EXPECT_CALL_EXIT(all, 0);
    EXPECT_NE(all.out.find("Exit codes:"), std::string::npos);
    EXPECT_NE(all.out.find("discover"), std::string::npos);
    const Call group = RunTool({"help", "task"}, false);
    EXPECT_CALL_EXIT(group, 0);
    for (const char *verb : {"add", "update", "remove", "start", "restart", "run", "stop", "list"})
        EXPECT_NE(group.out.find(std::string("\n  ") + verb + " "), std::string::npos) << verb << group.out;

    struct Case {
        std::vector<std::string> verb;
        std::vector<std::string> lists, omits;
    };
    for (const Case &k : std::vector<Case>{
             {{"task", "add"}, {"NAME", "--command-line", "--text-f", "--layout", "--priority"}, {"--lock-key"}},
             {{"task", "remove"}, {"NAME"}, {"--command-line", "--text-a", "--layout", "--lock-key", "--modifier"}},
             {{"task", "start"}, {"NAME", "--no-block", "--modifier", "--lock-key"}, {"--command-line", "--text-a"}},
             {{"task", "restart"}, {"NAME", "--no-block"}, {"--modifier", "--command-line"}},
             {{"task", "run"}, {"--command-line", "--text-e"}, {"--text-f", "--layout", "--no-block"}},
             {{"db", "status"}, {}, {"--lock-key", "--cluster", "--command-line"}},
             {{"db", "start"}, {"--cluster", "--lock-key"}, {"--command-line"}},
             {{"process", "start"}, {"--command-line", "--affinity"}, {"--text-b", "--layout", "--lock-key"}},
         }) {
        std::vector<std::string> args{"help"};
        args.insert(args.end(), k.verb.begin(), k.verb.end());
        const Call h = RunTool(args, false);
        EXPECT_CALL_EXIT(h, 0);
        EXPECT_NE(h.out.find("Usage: vexsrv " + k.verb[0] + " " + k.verb[1]), std::string::npos) << h.out;
        for (const auto &o : k.lists)
            EXPECT_NE(h.out.find(o), std::string::npos) << k.verb[1] << " lists no " << o;
        for (const auto &o : k.omits)
            EXPECT_EQ(h.out.find(o), std::string::npos) << k.verb[1] << " lists " << o;
        // --help after the verb shows the same.
        args.erase(args.begin());
        args.push_back("--help");
        EXPECT_EQ(RunTool(args, false).out, h.out);
    }
    // A lock key where the request carries none is refused, not dropped.
    const Call key = RunTool({"--lock-key", "7", "db", "status"}, true);
    EXPECT_CALL_EXIT(key, 2);
    EXPECT_EQ(key.j["message"], "db status sends no lock key: --lock-key does not apply");
}

TEST(ToolUsage, MissingArgumentsAreTheToolsAndNothingIsSent) {
    FakeService svc;
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    for (const Case &k : std::vector<Case>{
             {{"task", "add"}, "task add: NAME (the task name) is required"},
             {{"task", "add", "x"}, "task add: --command-line is required"},
             {{"task", "remove"}, "task remove: NAME (the task name) is required"},
             {{"task", "restart"}, "task restart: NAME (the task name) is required"},
             {{"task", "run"}, "task run: --command-line is required"},
             {{"process", "start"}, "process start: --command-line is required"},
             {{"order", "set"}, "order set: NAMES is required"},
             {{"audit", "set", "1"}, "audit set: SECOND is required"},
         }) {
        std::vector<std::string> args{"--suffix", svc.suffix()};
        args.insert(args.end(), k.args.begin(), k.args.end());
        const Call c = RunTool(args, true);
        EXPECT_CALL_EXIT(c, 2);
        EXPECT_EQ(c.j["source"], "tool");
        EXPECT_EQ(c.j["message"], k.message);
        EXPECT_EQ(c.j["operation"], k.args[0] + " " + k.args[1]);
    }
    EXPECT_EQ(svc.RequestCount(), 0u);
}

TEST(ToolUsage, IsRunningHasAnExitCodePerState) {
    FakeService svc;
    svc.Script(0, 1, "running");
    svc.Script(0, 0, "stopped");
    svc.Script(0, 2, "exited");
    svc.Script(5, 5, "Access is denied.");
    svc.Script(0, 7, "");
    const std::vector<std::string> ask{"--suffix", svc.suffix(), "db", "is-running"};
    Call c = RunTool(ask, true);
    EXPECT_CALL_EXIT(c, 0);
    EXPECT_EQ(c.j["data"], (json{{"state", "running"}, {"running", true}}));
    c = RunTool(ask, true);
    EXPECT_CALL_EXIT(c, 1);
    EXPECT_EQ(c.j["data"], (json{{"state", "stopped"}, {"running", false}}));
    c = RunTool(ask, false);
    EXPECT_CALL_EXIT(c, 1);
    EXPECT_EQ(c.out, "not running (exited)\n");
    c = RunTool(ask, true); // a refusal cannot pass for "not running"
    EXPECT_CALL_EXIT(c, 5);
    EXPECT_EQ(c.j["source"], "service");
    EXPECT_EQ(c.j["data"], json::object());
    c = RunTool(ask, true); // a state of another service's own: no name
    EXPECT_CALL_EXIT(c, 1);
    EXPECT_EQ(c.j["data"], (json{{"running", false}}));
    EXPECT_EQ(c.j["value"], 7);

    const std::string none = UniqueSuffix("none");
    EXPECT_CALL_EXIT(RunTool({"--suffix", none, "db", "is-running"}, false), 3);
}

// A hang-up in a status operation is the transport's failure, not the
// service's refusal.
TEST(ToolUsage, AFailedExchangeOfAStatusOperationIsTheSystems) {
    FakeService svc;
    svc.ScriptHangUp();
    svc.ScriptHangUp();
    for (const char *verb : {"status", "set-status"}) {
        std::vector<std::string> args{"--suffix", svc.suffix(), "db", verb};
        if (std::string(verb) == "set-status") args.push_back("1");
        const Call c = RunTool(args, true);
        EXPECT_CALL_EXIT(c, 3);
        EXPECT_EQ(c.j["source"], "system");
        EXPECT_FALSE(c.j.contains("value"));
    }
}

// On a terminal a call of more than a second shows the time elapsed on one
// line of stderr, cleared before the outcome; never with --json.
TEST(ToolUsage, ALongCallShowsItsProgressOnATerminalOnly) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs script(1) for a terminal";
#else
    if (!std::filesystem::exists("/usr/bin/script")) GTEST_SKIP() << "no /usr/bin/script to give the tool a terminal";
    SilentService mute;
    auto on_terminal = [&](const std::string &options) {
        const std::string line = Program("vexsrv") + " --suffix " + mute.suffix() + " --timeout 2.5 " + options;
        const RunOutput o = RunProgram({"/usr/bin/script", "-qefc", line, "/dev/null"}, kCallLimit);
        return WithoutCarriageReturns(o.out.substr(0, o.out.find("vexsrv: timeout"))) + "|" + o.out;
    };
    const std::string text = on_terminal("db stop");
    EXPECT_NE(text.find("vexsrv db stop: waiting for the outcome... 1 s"), std::string::npos) << text;
    EXPECT_NE(text.find("vexsrv db stop: waiting for the outcome... 2 s"), std::string::npos) << text;
    // Cleared: blanks over the line, back to its start, then the outcome.
    EXPECT_NE(text.find(std::string(45, ' ') + "\rvexsrv: timeout: no outcome within 2.5 s"), std::string::npos)
        << text;
    const std::string j = on_terminal("--json db stop");
    EXPECT_EQ(j.find("waiting"), std::string::npos) << j;
#endif
}

TEST(ToolUsage, ServiceTextsCannotSteerTheTerminal) {
    FakeService svc;
    svc.Script(0, 1, "\x1b]0;owned\x07 done\r");
    svc.Script(0, 1, "\x1b[2J");
    const Call text = RunTool({"--suffix", svc.suffix(), "db", "start"}, false);
    EXPECT_CALL_EXIT(text, 0);
    EXPECT_NE(text.out.find("message  service: ?]0;owned? done?\n"), std::string::npos) << text.out;
    const Call j = RunTool({"--suffix", svc.suffix(), "db", "start"}, true);
    EXPECT_EQ(j.j["message"], "\x1b[2J"); // JSON escapes what it carries
}

// ---- Against the reference service ---------------------------------------------------

class Tool : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        suffix_ = new std::string(UniqueSuffix("tool"));
        state_ = new std::string(MakeTempDir("vexsrv-tool-test"));
        service_ = new ChildProcess({Program("tidewell-taskd"), "--suffix", *suffix_, "--state-dir", *state_,
                                     "--subsystem", "ALARMS", "--subsystem", "HISTORY", "--stop-grace", "1"},
                                    *state_ + ".log");
        // Wait, bounded, until it answers: a failed exchange means not yet.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline && service_->Running()) {
            if (vexsrv::Service(".", *suffix_).GetVersion().source != vexsrv::Source::System) {
                ready_ = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    static void TearDownTestSuite() {
        delete service_;
        RemoveTree(*state_);
        RemoveTree(*state_ + ".log");
        delete state_;
        delete suffix_;
    }
    void SetUp() override { ASSERT_TRUE(ready_) << "the reference service did not start; log: " << *state_ << ".log"; }

    // One call of the tool against the service, with --json.
    static Call Vex(std::vector<std::string> args) {
        args.insert(args.begin(), {"--suffix", *suffix_});
        return RunTool(args, true);
    }
    static Call VexText(std::vector<std::string> args) {
        args.insert(args.begin(), {"--suffix", *suffix_});
        return RunTool(args, false);
    }
    static const std::string &suffix() { return *suffix_; }

    // Waits, bounded, until the service's log holds text.
    static bool WaitForLog(const std::string &text, double seconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            std::ifstream log(*state_ + ".log");
            const std::string content((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
            if (content.find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    static inline std::string *suffix_ = nullptr;
    static inline std::string *state_ = nullptr;
    static inline ChildProcess *service_ = nullptr;
    static inline bool ready_ = false;
};

// The JSON lines of a call over several nodes.
std::vector<json> JsonLines(const std::string &out) {
    std::vector<json> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(json::parse(line, nullptr, /*allow_exceptions=*/false));
    return lines;
}

// This computer under a second name where the system reaches it by one.
#if defined(_WIN32)
const std::vector<std::string> kLocalNodes = {"."};
#else
const std::vector<std::string> kLocalNodes = {".", "localhost"};
#endif

std::string Joined(const std::vector<std::string> &nodes) {
    std::string out;
    for (const auto &n : nodes) out += (out.empty() ? "" : ",") + n;
    return out;
}

TEST(ToolUsage, SeveralNodesEachTimeOutAloneAndTheWorstOutcomeIsTheExitCode) {
    SilentService mute;
    const Call c = RunTool({"--suffix", mute.suffix(), "--nodes", Joined(kLocalNodes), "--timeout", "0.5", "--json",
                            "db", "start"},
                           false);
    EXPECT_CALL_EXIT(c, 4);
    const auto rows = JsonLines(c.out);
    ASSERT_EQ(rows.size(), kLocalNodes.size()) << c.out;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i]["node"], kLocalNodes[i]);
        EXPECT_EQ(rows[i]["source"], "timeout");
        EXPECT_EQ(rows[i]["exit_code"], 4);
    }
    const std::string summary = std::to_string(kLocalNodes.size()) + " of " + std::to_string(kLocalNodes.size()) +
                                " nodes failed\n";
    EXPECT_EQ(c.err, summary);

    const std::string none = UniqueSuffix("none");
    const Call missing = RunTool({"--suffix", none, "--nodes", Joined(kLocalNodes), "db", "start"}, false);
    EXPECT_CALL_EXIT(missing, 3);
    EXPECT_NE(missing.out.find("NODE"), std::string::npos);
    EXPECT_NE(missing.out.find("unreachable"), std::string::npos);
    EXPECT_EQ(missing.err, summary);

    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"--all", "--node", ".", "db", "status"}, {"--nodes", ".", "discover"}, {"--parallel", "0", "--nodes", ".", "db", "status"}}) {
        const Call refused = RunTool(args, false);
        EXPECT_CALL_EXIT(refused, 2);
        EXPECT_EQ(refused.err.rfind("vexsrv: tool: ", 0), 0u) << refused.err;
    }
}

TEST_F(Tool, SeveralNodesGiveOneRowEachInTheOrderNamed) {
    std::vector<std::string> args = {"--suffix", suffix(), "--json"};
    for (auto it = kLocalNodes.rbegin(); it != kLocalNodes.rend(); ++it) args.insert(args.end(), {"--node", *it});
    args.insert(args.end(), {"--node", ".", "db", "status"}); // named twice, run once
    const Call c = RunTool(args, false);
    EXPECT_CALL_EXIT(c, 0);
    EXPECT_EQ(c.err, "");
    const auto rows = JsonLines(c.out);
    ASSERT_EQ(rows.size(), kLocalNodes.size()) << c.out;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i]["node"], kLocalNodes[kLocalNodes.size() - 1 - i]);
        EXPECT_EQ(rows[i]["operation"], "db status");
        EXPECT_EQ(rows[i]["ok"], true);
        json single = rows[i];
        single.erase("node"); // the rest is the object of a single call
        EXPECT_EQ(SchemaFaults(single, 0), "") << rows[i].dump();
    }

    const Call text = VexText({"--nodes", Joined(kLocalNodes), "db", "status"});
    EXPECT_CALL_EXIT(text, 0);
    EXPECT_EQ(text.out.rfind("NODE", 0), 0u) << text.out;
    EXPECT_NE(text.out.find("\n.  "), std::string::npos) << text.out;
}

TEST_F(Tool, Database) {
    Call c = Vex({"db", "start"});
    EXPECT_CALL_EXIT(c, 0);
    EXPECT_EQ(c.j["ok"], true);
    EXPECT_EQ(c.j["source"], "service");
    EXPECT_EQ(c.j["operation"], "db start");

    c = Vex({"db", "status"});
    EXPECT_CALL_EXIT(c, 0);
    EXPECT_EQ(c.j["value"], 1); // running

    c = Vex({"db", "check"});
    EXPECT_CALL_EXIT(c, 0);
    EXPECT_TRUE(c.j["data"]["first"].is_number());
    EXPECT_TRUE(c.j["data"]["second"].is_number());

    c = Vex({"db", "version"});
    EXPECT_CALL_EXIT(c, 0);
    EXPECT_EQ(c.j["data"]["first"], 1);
    EXPECT_EQ(c.j["data"]["text"], "Tidewell 1.0.0");

    c = Vex({"db", "permissions", "--query", "1"});
    EXPECT_CALL_EXIT(c, 0);
    EXPECT_EQ(c.j["data"]["first"], 0xFFFFFFFFu);

    EXPECT_CALL_EXIT(Vex({"db", "stop-external"}), 0);
    EXPECT_CALL_EXIT(Vex({"db", "set-status", "1"}), 0);
    EXPECT_CALL_EXIT(Vex({"db", "stop", "--cluster"}), 0);
    EXPECT_CALL_EXIT(Vex({"db", "unmap"}), 0);
    c = Vex({"db", "status"});
    EXPECT_EQ(c.j["value"], 0);

    // People get a short table.
    const Call text = VexText({"db", "status"});
    EXPECT_CALL_EXIT(text, 0);
    EXPECT_EQ(text.out.rfind("status   0\nvalue    0\nstate    stopped\nmessage  service: ", 0), 0u) << text.out;
    c = Vex({"db", "is-running"});
    EXPECT_CALL_EXIT(c, 1);
    EXPECT_EQ(c.j["ok"], true);
    EXPECT_EQ(c.j["data"]["running"], false);
    EXPECT_CALL_EXIT(Vex({"db", "start"}), 0);
    EXPECT_CALL_EXIT(VexText({"db", "is-running"}), 0);
    EXPECT_CALL_EXIT(Vex({"db", "stop"}), 0);
}

TEST_F(Tool, TasksFromRegistrationToStop) {
    EXPECT_CALL_EXIT(Vex({"task", "add", "t-one", "--command-line", Sleeper(60), "--text-b", "first"}), 0);
    EXPECT_CALL_EXIT(Vex({"task", "add", "--name", "t-two", "--command-line", Sleeper(60), "--layout", "2",
                          "--number-a", "7", "--byte-c", "255"}),
                     0);

    // Refused by the tool: a required argument missing.
    Call c = Vex({"task", "add", "t-three"});
    EXPECT_CALL_EXIT(c, 2);
    EXPECT_EQ(c.j["source"], "tool");
    EXPECT_EQ(c.j["message"], "task add: --command-line is required");
    // Refused by the library: nothing sent.
    c = Vex({"task", "add", "--name", "", "--command-line", "x"});
    EXPECT_CALL_EXIT(c, 2);
    EXPECT_EQ(c.j["source"], "library");
    EXPECT_EQ(c.j["message"], "task name should be defined");
    // Refused by the tool's layer: a name longer than its field.
    c = Vex({"task", "add", std::string(40, 'n'), "--command-line", "x"});
    EXPECT_CALL_EXIT(c, 2);
    EXPECT_EQ(c.j["message"], "task_name is too long for its field (at most 31 characters)");
    // Refused by the service: the name is taken.
    c = Vex({"task", "add", "t-one", "--command-line", "x"});
    EXPECT_CALL_EXIT(c, 1);
    EXPECT_EQ(c.j["source"], "service");
    EXPECT_NE(c.j["status"], 0);

    c = Vex({"task", "list"});
    EXPECT_CALL_EXIT(c, 0);
    const auto items = Items(c);
    EXPECT_NE(std::find(items.begin(), items.end(), "t-one"), items.end());
    EXPECT_NE(std::find(items.begin(), items.end(), "t-two"), items.end());
    EXPECT_EQ(c.j["data"]["order"], "list");

    EXPECT_CALL_EXIT(Vex({"task", "update", "t-two", "--command-line", Sleeper(30), "--layout", "3"}), 0);
    c = Vex({"task", "start", "t-one"});
    EXPECT_CALL_EXIT(c, 0);
    c = Vex({"process", "check"});
    EXPECT_CALL_EXIT(c, 0);
    EXPECT_GE(c.j["value"].get<int>(), 1);
    EXPECT_CALL_EXIT(Vex({"task", "stop", "t-one"}), 0);
    EXPECT_CALL_EXIT(Vex({"task", "start", "t-two", "--no-block"}), 0);
    EXPECT_CALL_EXIT(Vex({"task", "stop", "--name", "t-two", "--stop-value", "1"}), 0);
    // Restarted while it runs; a task from a record, run without registering it.
    EXPECT_CALL_EXIT(Vex({"task", "start", "t-two"}), 0);
    EXPECT_CALL_EXIT(Vex({"task", "start", "t-two"}), 1);
    EXPECT_CALL_EXIT(Vex({"task", "restart", "t-two"}), 0);
    EXPECT_CALL_EXIT(Vex({"task", "stop", "t-two"}), 0);
    EXPECT_CALL_EXIT(Vex({"task", "run", "--name", "t-once", "--command-line", Sleeper(1)}), 0);

    EXPECT_CALL_EXIT(Vex({"task", "remove", "t-one"}), 0);
    EXPECT_CALL_EXIT(Vex({"task", "remove", "t-two"}), 0);
    EXPECT_CALL_EXIT(Vex({"task", "remove", "t-one"}), 1);

    const Call text = VexText({"task", "start"});
    EXPECT_CALL_EXIT(text, 2);
    EXPECT_EQ(text.err.rfind("vexsrv: tool: ", 0), 0u) << text.err;
}

TEST_F(Tool, ProcessesStartupOrderAndBoot) {
    Call c = Vex({"process", "start", "--command-line", Sleeper(2), "--affinity", "1", "--priority", "0"});
    EXPECT_CALL_EXIT(c, 0);
    EXPECT_CALL_EXIT(Vex({"process", "start", "--command-line", Sleeper(1)}), 0);

    EXPECT_CALL_EXIT(Vex({"task", "add", "o-first", "--command-line", "x"}), 0);
    EXPECT_CALL_EXIT(Vex({"task", "add", "o-second", "--command-line", "x"}), 0);
    EXPECT_CALL_EXIT(Vex({"order", "set", "o-second", "o-first"}), 0);
    c = Vex({"task", "list", "--startup-order"});
    EXPECT_CALL_EXIT(c, 0);
    EXPECT_EQ(c.j["data"]["order"], "startup");
    const auto items = Items(c);
    const auto first = std::find(items.begin(), items.end(), "o-first");
    const auto second = std::find(items.begin(), items.end(), "o-second");
    ASSERT_NE(first, items.end());
    ASSERT_NE(second, items.end());
    EXPECT_LT(second, first);

    const Call text = VexText({"task", "list", "--startup-order"});
    EXPECT_NE(text.out.find("#  TASK\n"), std::string::npos) << text.out;

    EXPECT_CALL_EXIT(Vex({"boot", "on"}), 0);
    EXPECT_CALL_EXIT(Vex({"boot", "off"}), 0);
    EXPECT_CALL_EXIT(Vex({"task", "remove", "o-first"}), 0);
    EXPECT_CALL_EXIT(Vex({"task", "remove", "o-second"}), 0);
}

TEST_F(Tool, SubsystemsAndTheExclusiveLock) {
    Call c = Vex({"subsystem", "list"});
    EXPECT_CALL_EXIT(c, 0);
    EXPECT_EQ(Items(c), (std::vector<std::string>{"ALARMS", "HISTORY"}));
    EXPECT_CALL_EXIT(Vex({"subsystem", "stop", "ALARMS", "--wait"}), 0);

    c = Vex({"lock", "get"});
    EXPECT_CALL_EXIT(c, 0);
    const std::int32_t token = c.j["data"]["token"].get<std::int32_t>();
    EXPECT_CALL_EXIT(Vex({"lock", "get"}), 1);
    // While the lock is held only its token opens the operations that carry a key.
    c = Vex({"subsystem", "list"});
    EXPECT_CALL_EXIT(c, 1);
    EXPECT_CALL_EXIT(Vex({"--lock-key", std::to_string(token), "subsystem", "list"}), 0);
    EXPECT_CALL_EXIT(Vex({"lock", "give", std::to_string(token ^ 1)}), 1);
    EXPECT_CALL_EXIT(Vex({"lock", "give", std::to_string(token)}), 0);
    EXPECT_CALL_EXIT(Vex({"subsystem", "list"}), 0);
}

TEST_F(Tool, AuditGroupsAndSnapshots) {
    EXPECT_CALL_EXIT(Vex({"audit", "set", "3", "4"}), 0);
    Call c = Vex({"audit", "get"});
    EXPECT_CALL_EXIT(c, 0);
    EXPECT_EQ(c.j["data"]["setting_first"], 3);
    EXPECT_EQ(c.j["data"]["setting_second"], 4);

    EXPECT_CALL_EXIT(Vex({"group", "save", "plant.cfg"}), 0);
    EXPECT_CALL_EXIT(Vex({"group", "load", "plant.cfg", "--option", "1"}), 0);
    c = Vex({"group", "save", "../outside.cfg"});
    EXPECT_CALL_EXIT(c, 1);
    EXPECT_EQ(c.j["source"], "service");
    c = Vex({"group", "save", ""});
    EXPECT_CALL_EXIT(c, 2);
    EXPECT_EQ(c.j["message"], "File name is invalid");

    EXPECT_CALL_EXIT(Vex({"snapshot", "update", "nightly", "--option-a", "1", "--option-c", "255"}), 0);
}

TEST_F(Tool, DiscoveryFindsTheService) {
#if defined(_WIN32)
    GTEST_SKIP() << "Wine has no mailslot broadcast";
#else
    // One program per node answers browse requests; another (a test's
    // responder, another service) may hold the mailslot for a while.
    if (!WaitForLog("answering browse requests", 20))
        GTEST_SKIP() << "another program on this computer holds the browse mailslot";
    const Call c = Vex({"discover", "--wait", "1500"});
    EXPECT_CALL_EXIT(c, 0);
    bool found = false;
    for (const auto &a : c.j["data"]["answers"])
        found = found || a["service"] == "Kestrane Tidewell Task Service" + suffix();
    EXPECT_TRUE(found) << c.out;

    const Call text = VexText({"discover", "--wait", "1500"});
    EXPECT_CALL_EXIT(text, 0);
    EXPECT_EQ(text.out.rfind("NODE", 0), 0u) << text.out;
    EXPECT_NE(text.out.find("Kestrane Tidewell Task Service" + suffix()), std::string::npos) << text.out;
#endif
}

} // namespace
} // namespace vex::test

int main(int argc, char **argv) {
    if (argc == 3 && std::string(argv[1]) == "--sleep") {
        std::this_thread::sleep_for(std::chrono::seconds(std::atoi(argv[2])));
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
