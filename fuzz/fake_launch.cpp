// Stands in for the service's process launcher in the fuzz targets: a fuzzed
// request may name any command line, and none of them must ever run. Each
// "process" runs until it is asked to end.
#include <atomic>

#include "service/processes.h"

namespace taskd {
namespace {

class PretendChild : public ChildProcess {
  public:
    explicit PretendChild(std::uint32_t pid) : pid_(pid) {}
    std::uint32_t pid() const override { return pid_; }
    bool Running(int *exit_code) override {
        if (running_) return true;
        if (exit_code != nullptr) *exit_code = exit_code_;
        return false;
    }
    void Terminate() override { End(0); }
    void Kill() override { End(128 + 9); }

  private:
    void End(int code) {
        if (!running_) return;
        running_ = false;
        exit_code_ = code;
    }
    std::uint32_t pid_;
    bool running_ = true;
    int exit_code_ = 0;
};

std::atomic<std::uint32_t> g_next_pid{1000};

} // namespace

std::unique_ptr<ChildProcess> Launch(const LaunchSpec &launch, std::string *why, std::uint32_t *code) {
    // The real launcher refuses a command line without a program the same way.
    if (SplitCommandLine(launch.command_line).empty()) {
        if (why != nullptr) *why = "the command line names no program";
        if (code != nullptr) *code = 87;
        return nullptr;
    }
    return std::make_unique<PretendChild>(g_next_pid++);
}

// Nothing the fuzzed service ran before is running now.
std::unique_ptr<ChildProcess> Adopt(std::uint32_t, std::uint64_t) { return nullptr; }
std::string BecomeSubreaper() { return {}; }
void ReapOrphans() {}

} // namespace taskd
