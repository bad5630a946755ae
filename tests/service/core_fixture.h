// A task service with its state in a temporary folder, reached through the
// request core alone: requests are byte records built here from the record
// tables, replies are read at literal offsets.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "service/dispatcher.h"
#include "service/state_store.h"
#include "service/task_service.h"
#include "tests/service/test_files.h"
#include "tests/support/wire.h"

namespace taskd::test {

using vex::test::Bytes;
using vex::test::LE32;
using vex::test::PutLE16;
using vex::test::PutLE32;
using vex::test::PutStr;
using vex::test::Request;

struct Answer {
    Bytes bytes;
    std::int32_t status() const { return static_cast<std::int32_t>(LE32(bytes, 12)); }
    std::int32_t value() const { return static_cast<std::int32_t>(LE32(bytes, 20)); }
    std::uint32_t Word(std::size_t off) const { return LE32(bytes, off); }
    std::string TextAt(std::size_t off) const {
        std::string s;
        for (std::size_t i = off; i < bytes.size() && bytes[i] != 0; ++i) s += static_cast<char>(bytes[i]);
        return s;
    }
    std::string text() const { return TextAt(24); }
};

class ServiceCore : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = NewTempDir("core");
        config_.state_dir = dir_;
        config_.node_name = "NODE1";
        config_.stop_grace = std::chrono::milliseconds(500);
        config_.subsystems = {"ALARMS", "HISTORY"};
        Open();
    }
    void TearDown() override {
        Close();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    void Open() {
        store_ = std::make_unique<StateStore>(dir_);
        PersistentState state;
        ASSERT_EQ(store_->Open(&state), "");
        svc_ = std::make_unique<TaskService>(config_, std::move(state), [this](const PersistentState &s) {
            ++saves_;
            if (before_save_) before_save_();
            return fail_saves_ ? std::string("the disk is full") : store_->Save(s);
        });
    }
    void Close() {
        if (svc_) {
            std::lock_guard<std::mutex> lock(svc_->mutex());
            svc_->Shutdown();
        }
        svc_.reset();
        store_.reset();
    }
    // A restart of the service on the same state folder.
    void Reopen() {
        Close();
        Open();
    }

    Answer Send(const Bytes &request, const Caller &caller = {}) {
        return {HandleRequest(*svc_, access_, request.data(), request.size(), caller)};
    }
    Answer Send(std::uint32_t code, std::int32_t lock_key = 0) { return Send(Request(code, lock_key)); }

    std::string dir_;
    ServiceConfig config_;
    AccessPolicy access_;
    std::atomic<bool> fail_saves_{false};
    std::atomic<int> saves_{0};
    // Runs in every save, on the thread that writes, without the service's
    // mutex; set it before requests run.
    std::function<void()> before_save_;
    std::unique_ptr<StateStore> store_;
    std::unique_ptr<TaskService> svc_;
};

// ---- Request records from the layout tables, at literal offsets ----------

// A layout-2 wide payload (code 30/31): name at 16, command line at 112,
// text_a at 624, text_e at 1136, position at 1296, numbers from 1300, bytes
// from 1312; presence_flags at 12.
inline Bytes Layout2(std::uint32_t code, const std::string &name, const std::string &command,
                     std::int32_t position = -1, const std::string &text_a = "") {
    Bytes b = Request(code);
    std::uint32_t flags = 0x80 | 0x800 | 0x1000 | 0x2000 | 0x4000 | 0x8000 | 0x10000;
    if (!name.empty()) {
        PutStr(b, 16, name);
        flags |= 0x40;
    }
    if (!command.empty()) {
        PutStr(b, 112, command);
        flags |= 0x1;
    }
    if (!text_a.empty() || code == 31) {
        PutStr(b, 624, text_a);
        flags |= 0x20;
    }
    PutLE32(b, 1296, static_cast<std::uint32_t>(position));
    PutLE32(b, 12, flags);
    return b;
}

// A layout-1 narrow payload: presence_flags at 12 (16 bits), name at 14,
// suffix at 46, command line at 110.
inline Bytes Layout1(std::uint32_t code, const std::string &name, const std::string &command,
                     std::int32_t lock_key = 0) {
    Bytes b = Request(code, lock_key);
    std::uint16_t flags = 0x100;
    if (!name.empty()) {
        PutStr(b, 14, name);
        flags |= 0x40;
    }
    if (!command.empty()) {
        PutStr(b, 110, command);
        flags |= 0x1;
    }
    PutLE16(b, 12, flags);
    return b;
}

// Task start by name (3, 29): the name at 12.
inline Bytes ByName(std::uint32_t code, const std::string &name, std::int32_t lock_key = 0) {
    Bytes b = Request(code, lock_key);
    PutStr(b, 12, name);
    return b;
}

// Task stop (5): stop_value at 12, the name at 16.
inline Bytes StopTaskRequest(const std::string &name, std::int32_t stop_value = 0, std::int32_t lock_key = 0) {
    Bytes b = Request(5, lock_key);
    PutLE32(b, 12, static_cast<std::uint32_t>(stop_value));
    PutStr(b, 16, name);
    return b;
}

// The packed list of a list reply's data area: item texts with their order
// bytes, in list order.
struct Item {
    std::uint8_t order;
    std::string text;
    bool operator==(const Item &) const = default;
};
inline std::vector<Item> ListItems(const Answer &a) {
    std::vector<Item> items;
    const std::uint32_t count = a.Word(24);
    std::size_t at = 28;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t order = a.bytes.at(at);
        const std::uint8_t size = a.bytes.at(at + 1);
        items.push_back({order, a.TextAt(at + 2)});
        at += 2 + size;
    }
    return items;
}

} // namespace taskd::test
