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
#include <memory>
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

Call RunTool(std::vector<std::string> args, bool json_out) {
    std::vector<std::string> argv{Program("vexsrv")};
    if (json_out) argv.push_back("--json");
    argv.insert(argv.end(), args.begin(), args.end());
    const RunOutput o = RunProgram(argv, kCallLimit);
    Call c{o.exit_code, nullptr, WithoutCarriageReturns(o.out), WithoutCarriageReturns(o.err)};
    if (json_out) {
        c.j = json::parse(o.out, nullptr, /*allow_exceptions=*/false);
        EXPECT_TRUE(c.j.is_object()) << "not one JSON object: " << o.out << o.err;
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
    EXPECT_EQ(c.j["source"], "tool");
    EXPECT_EQ(c.j["exit_code"], 4);
    EXPECT_NE(c.j["message"].get<std::string>().find("outcome on the service is unknown"), std::string::npos);

    const Call text = RunTool({"--suffix", mute.suffix(), "--timeout", "0.5", "db", "stop"}, false);
    EXPECT_CALL_EXIT(text, 4);
    EXPECT_EQ(text.err.rfind("vexsrv: tool: no outcome within 0.5 s", 0), 0u) << text.err;
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
    EXPECT_EQ(text.out.rfind("status   0\nvalue    0\nmessage  service: ", 0), 0u) << text.out;
}

TEST_F(Tool, TasksFromRegistrationToStop) {
    EXPECT_CALL_EXIT(Vex({"task", "add", "t-one", "--command-line", Sleeper(60), "--text-b", "first"}), 0);
    EXPECT_CALL_EXIT(Vex({"task", "add", "--name", "t-two", "--command-line", Sleeper(60), "--layout", "2",
                          "--number-a", "7", "--byte-c", "255"}),
                     0);

    // Refused by the library: nothing sent.
    Call c = Vex({"task", "add", "t-three"});
    EXPECT_CALL_EXIT(c, 2);
    EXPECT_EQ(c.j["source"], "local library");
    EXPECT_EQ(c.j["message"], "command_line should be defined");
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
    // A task from a record, started without registering it.
    EXPECT_CALL_EXIT(Vex({"task", "start", "--name", "t-once", "--command-line", Sleeper(1)}), 0);

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
