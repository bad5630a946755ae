// The task service's request core over any request: the input's bytes fill a
// request record (any code word, any payload, zeros after the input), which a
// fresh service with two registered tasks and two subsystems carries out; the
// input is also handed over at its own length. No process is ever started
// (fake_launch.cpp stands in for the launcher). Beyond the sanitizers' checks,
// every reply must have the size its caller offers and a terminated text,
// and the task list must still fit its reply afterwards.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "service/dispatcher.h"
#include "service/log.h"
#include "service/task_service.h"
#include "transport/record.h"

namespace {

void Require(bool ok) {
    if (!ok) __builtin_trap();
}

// A private folder for the group configuration files that requests save,
// removed when the fuzzer exits. Never destroyed, so the exit handler can
// still read it.
const std::string &StateDir() {
    static const std::string *dir = [] {
        std::string templ = (std::filesystem::temp_directory_path() / "taskd-fuzz-XXXXXX").string();
        Require(mkdtemp(templ.data()) != nullptr);
        auto *kept = new std::string(templ);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(StateDir(), ec);
        });
        return kept;
    }();
    return *dir;
}

taskd::TaskRecord Task(const std::string &name, const std::string &command, int order) {
    taskd::TaskRecord t;
    t.Text(taskd::Field::TaskName) = name;
    t.Text(taskd::Field::CommandLine) = command;
    t.Number(taskd::Field::Position) = -1;
    t.layout = 2;
    t.startup_order = order;
    return t;
}

std::size_t ReplySizeFor(std::uint32_t code) {
    switch (code & 0xFFFFu) {
    case 12: case 13: case 16: case 22: case 23: case 27: case 28: case 33: return vex::kLongReplySize;
    default: return vex::kShortReplySize;
    }
}

// Every reply has the size its operation's caller offers (536 for a code the
// service does not know), whatever the request held, and its text area always
// holds a zero byte: callers read the text up to it.
void CheckReply(const std::vector<std::uint8_t> &reply, std::uint32_t code) {
    Require(reply.size() == ReplySizeFor(code));
    Require(std::memchr(reply.data() + vex::kRepText, 0, reply.size() - vex::kRepText) != nullptr);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    taskd::log::SetLevel(taskd::log::Level::Error);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    taskd::ServiceConfig config;
    config.suffix = "FZ";
    config.node_name = "NODE1";
    config.state_dir = StateDir();
    config.stop_grace = std::chrono::milliseconds(0);
    config.subsystems = {"ALARMS", "HISTORY"};
    taskd::PersistentState state;
    state.tasks = {Task("LOADER", "loader --once", 1), Task("ARCHIVER", "archiver", 0)};
    taskd::TaskService svc(config, std::move(state), [](const taskd::PersistentState &) { return std::string(); });
    const taskd::AccessPolicy access;
    const taskd::Caller caller;

    // The input at its own length, then as a whole record.
    const std::uint32_t code = size >= 8 ? vex::Load32(data + vex::kReqCode) : 0;
    CheckReply(taskd::HandleRequest(svc, access, data, size, caller), code);
    std::vector<std::uint8_t> request(vex::kRequestSize, 0);
    std::memcpy(request.data(), data, std::min(size, vex::kRequestSize));
    CheckReply(taskd::HandleRequest(svc, access, request.data(), request.size(), caller),
               vex::Load32(request.data() + vex::kReqCode));

    // Whatever the request changed, the task list still goes out whole.
    std::vector<std::uint8_t> list(vex::kRequestSize, 0);
    list[vex::kReqCode] = 13;
    const auto answer = taskd::HandleRequest(svc, access, list.data(), list.size(), caller);
    CheckReply(answer, 13);

    std::lock_guard<std::mutex> lock(svc.mutex());
    svc.Shutdown();
    return 0;
}
