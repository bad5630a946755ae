// The library's operations against a real tidewell-taskd on the local node.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/service/taskd_process.h"
#include "tests/service/test_files.h"
#include "vexsrvapi.h"

namespace taskd::test {

// The result channels of one call.
struct Result {
    std::int32_t ok = -1;
    std::int32_t value = -99;
    std::int32_t status = -99;
    char message[600] = {};
    std::string text() const { return message; }
};

class Service : public ::testing::Test {
  protected:
    // Options every test service gets: a short grace keeps stops quick where
    // a polite stop does not reach children (Wine); the node's one browse
    // mailslot is left to the tests that want it.
    static std::vector<std::string> BaseArgs(bool browse = false) {
        std::vector<std::string> args = {"--stop-grace", "0.5", "--subsystem", "ALARMS", "--subsystem", "HISTORY"};
        if (!browse) args.push_back("--no-browse");
        return args;
    }
    void Start(std::vector<std::string> extra = {}, const std::string &state_dir = {}, bool browse = false) {
        std::vector<std::string> args = BaseArgs(browse);
        args.insert(args.end(), extra.begin(), extra.end());
        // A restart on the same folder: the folder outlives the old run.
        std::string dir = state_dir;
        if (svc_ && !dir.empty() && dir == svc_->state_dir()) released_.push_back(dir = svc_->ReleaseStateDir());
        svc_.reset();
        svc_ = std::make_unique<TaskdProcess>(args, dir);
        ASSERT_TRUE(svc_->ready()) << svc_->log();
    }
    void SetUp() override { Start(); }
    void TearDown() override {
        if (svc_) {
            EXPECT_EQ(svc_->Stop(), 0) << svc_->log();
        }
        svc_.reset();
        std::error_code ec;
        for (const std::string &dir : released_) std::filesystem::remove_all(dir, ec);
    }
    const char *sfx() const { return svc_->suffix().c_str(); }

    std::unique_ptr<TaskdProcess> svc_;
    std::vector<std::string> released_; // state folders the fixture removes
};

// A layout-5 record: every later layout's fields at the place callers have
// them.
inline TaskDefinition5 Task5(const std::string &name, const std::string &command) {
    TaskDefinition5 t{};
    std::snprintf(t.task_name, sizeof t.task_name, "%s", name.c_str());
    std::snprintf(t.command_line, sizeof t.command_line, "%s", command.c_str());
    t.position = -1;
    return t;
}

inline std::vector<std::string> Items(CStringArray *list) {
    std::vector<std::string> out;
    if (list == nullptr) return out;
    for (int32_t i = 0; i < list->GetSize(); ++i) out.emplace_back(list->GetAt(i).GetString());
    VexSrv_FreeCStringArray(list);
    return out;
}

} // namespace taskd::test
