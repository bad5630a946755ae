// Every exported operation called with null, empty, unterminated and
// over-long arguments: each gets a clear refusal or a bounded result. Records
// and texts sit in allocations of exactly their size and output buffers
// between guard bytes, so a read or write past them shows (under the address
// checker, and through the guards where none runs).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/support/fake_service.h"
#include "tests/support/guarded_buffer.h"
#include "tests/support/operation_table.h"
#include "tests/support/system_text.h"
#include "tests/support/wire.h"

namespace vex::test {
namespace {

constexpr const char *kNodeMissing = "node name should be defined";
constexpr const char *kAddressTooLong = "Node name and service suffix are too long for a pipe name";
constexpr const char *kSuffixTooLong = "service suffix is too long (at most 63 characters)";

// A text of n characters in an allocation of exactly n + 1 bytes.
std::unique_ptr<char[]> ExactText(std::size_t n, char c = 'N') {
    auto p = std::make_unique<char[]>(n + 1);
    std::memset(p.get(), c, n);
    p[n] = 0;
    return p;
}

// ---- Arguments every operation shares -------------------------------------

class HostileShared : public ::testing::TestWithParam<OperationRow> {
  protected:
    std::int32_t Call(const char *node, const char *suffix, std::size_t message_size = 256) {
        msg_ = std::make_unique<GuardedBuffer>(message_size);
        CallArgs a;
        a.node = node;
        a.suffix = suffix;
        a.value = &value_;
        a.status = &status_;
        a.message = msg_->data();
        a.message_length = static_cast<std::int32_t>(message_size);
        const std::int32_t r = GetParam().call(a);
        EXPECT_TRUE(msg_->GuardsIntact());
        return r;
    }

    std::int32_t value_ = -7;
    std::int32_t status_ = -7;
    std::unique_ptr<GuardedBuffer> msg_;
};

TEST_P(HostileShared, NullNodeIsRefusedAndNothingSent) {
    FakeService svc;
    EXPECT_EQ(Call(nullptr, svc.suffix().c_str()), 0);
    EXPECT_EQ(msg_->Text(), kNodeMissing);
    EXPECT_EQ(status_, -7);
    EXPECT_EQ(svc.RequestCount(), 0u);
}

TEST_P(HostileShared, AddressTooLongForThePipeNameIsRefused) {
    const std::string suffix(490, 'S');
    EXPECT_EQ(Call(".", suffix.c_str()), 0);
    // The task records carry the suffix in a 64-byte slot, checked first.
    EXPECT_TRUE(msg_->Text() == kAddressTooLong || msg_->Text() == kSuffixTooLong) << msg_->Text();
    EXPECT_EQ(status_, -7);
}

// A suffix that fits the pipe name but not the connection message's room.
TEST_P(HostileShared, LongSuffixOfAMissingServiceGivesABoundedMessage) {
    const std::string suffix(300, 'S');
    EXPECT_EQ(Call(".", suffix.c_str(), 1024), 0);
    const std::string text = msg_->Text();
    EXPECT_LT(text.size(), 1024u);
    if (text == kSuffixTooLong) return;
    EXPECT_NE(status_, 0);
    EXPECT_NE(status_, -7);
    if (status_ == 2 && !GetParam().no_channels) {
        EXPECT_EQ(text.rfind("Cannot connect to service 'Kestrane Tidewell Task Service", 0), 0u) << text;
    } else {
        EXPECT_EQ(text, SystemText(static_cast<std::uint32_t>(status_)));
    }
}

TEST_P(HostileShared, NullValueStatusAndMessageAreTolerated) {
    FakeService svc;
    for (int i = 0; i < GetParam().exchanges; ++i)
        svc.Script(MakeReply(0, 1, "answered", GetParam().reply_size));
    CallArgs a;
    a.suffix = svc.suffix().c_str();
    a.message_length = 64; // with no buffer
    GetParam().call(a);
    EXPECT_EQ(svc.RequestCount(), static_cast<std::size_t>(GetParam().exchanges));
    // The refusal and failure paths with no outputs at all.
    a.node = nullptr;
    EXPECT_EQ(GetParam().call(a), 0);
    a.node = ".";
    a.suffix = "no-such-service-anywhere";
    EXPECT_EQ(GetParam().call(a), 0);
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, HostileShared, ::testing::ValuesIn(kOperationRows),
                         [](const auto &row) { return std::string(row.param.name); });

// ---- Task records ----------------------------------------------------------

struct RecordRow {
    const char *name;
    std::size_t size;
    std::size_t position_offset; // 0: the layout has none
    std::int32_t (*call)(const char *suffix, const void *record, std::int32_t *value, std::int32_t *status,
                         char *message, std::int32_t length);
};

#define VEXSRV_RECORD_ROW(fn, Record, position)                                                               \
    {#fn, sizeof(Record), position, [](const char *s, const void *r, std::int32_t *v, std::int32_t *st, char *m, \
                                       std::int32_t n) {                                                       \
         return VexSrv_##fn(".", s, static_cast<const Record *>(r), v, st, m, n);                               \
     }}

const RecordRow kRecordRows[] = {
    {"AddTaskToList", sizeof(TaskDefinition1), 0,
     [](const char *s, const void *r, std::int32_t *v, std::int32_t *st, char *m, std::int32_t n) {
         return VexSrv_AddTaskToList(".", s, static_cast<const TaskDefinition1 *>(r), -1, v, st, m, n);
     }},
    VEXSRV_RECORD_ROW(UpdateTaskList, TaskDefinition1, 0),
    VEXSRV_RECORD_ROW(RemoveTaskFromList, TaskDefinition1, 0),
    {"StartTask", sizeof(TaskDefinition1), 0,
     [](const char *s, const void *r, std::int32_t *v, std::int32_t *st, char *m, std::int32_t n) {
         return VexSrv_StartTask(0, ".", s, static_cast<const TaskDefinition1 *>(r), v, st, m, n);
     }},
    VEXSRV_RECORD_ROW(AddTaskToList2, TaskDefinition2, 1280),
    VEXSRV_RECORD_ROW(UpdateTaskList2, TaskDefinition2, 1280),
    VEXSRV_RECORD_ROW(AddTaskToList3, TaskDefinition3, 3584),
    VEXSRV_RECORD_ROW(UpdateTaskList3, TaskDefinition3, 3584),
    VEXSRV_RECORD_ROW(AddTaskToList4, TaskDefinition4, 3584),
    VEXSRV_RECORD_ROW(UpdateTaskList4, TaskDefinition4, 3584),
    VEXSRV_RECORD_ROW(AddTaskToList5, TaskDefinition5, 3584),
    VEXSRV_RECORD_ROW(UpdateTaskList5, TaskDefinition5, 3584),
    VEXSRV_RECORD_ROW(StartProcess, TaskDefinition3, 0),
    VEXSRV_RECORD_ROW(StartProcessWithAffinity, TaskDefinition4, 0),
    VEXSRV_RECORD_ROW(StartProcessWithAffinityPriority, TaskDefinition5, 0),
};
#undef VEXSRV_RECORD_ROW

class HostileRecords : public ::testing::TestWithParam<RecordRow> {};

TEST_P(HostileRecords, NullRecordIsRefused) {
    FakeService svc;
    std::int32_t value = -7, status = -7;
    GuardedBuffer msg(128);
    EXPECT_EQ(GetParam().call(svc.suffix().c_str(), nullptr, &value, &status, msg.data(), 128), 0);
    EXPECT_EQ(msg.Text(), "task record should be defined");
    EXPECT_EQ(status, -7);
    EXPECT_EQ(value, -7);
    EXPECT_EQ(svc.RequestCount(), 0u);
    EXPECT_TRUE(msg.GuardsIntact());
}

// Every byte of the record 'X', so no text holds a NUL (the position still
// -1 where there is one, so that the add operations get as far as the texts).
// The record sits in an allocation of exactly its size.
TEST_P(HostileRecords, RecordWithoutAnyTerminatorIsRefusedByField) {
    FakeService svc;
    auto record = std::make_unique<std::uint8_t[]>(GetParam().size);
    std::memset(record.get(), 'X', GetParam().size);
    if (GetParam().position_offset != 0) std::memset(record.get() + GetParam().position_offset, 0xFF, 4);
    std::int32_t value = -7, status = -7;
    GuardedBuffer msg(128);
    EXPECT_EQ(GetParam().call(svc.suffix().c_str(), record.get(), &value, &status, msg.data(), 128), 0);
    const std::string text = msg.Text();
    const auto field_end = text.find(" is not terminated within its ");
    EXPECT_NE(field_end, std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 6), " bytes") << text;
    EXPECT_EQ(status, -7);
    EXPECT_EQ(svc.RequestCount(), 0u);
    EXPECT_TRUE(msg.GuardsIntact());
}

INSTANTIATE_TEST_SUITE_P(EveryRecordOperation, HostileRecords, ::testing::ValuesIn(kRecordRows),
                         [](const auto &row) { return std::string(row.param.name); });

// ---- Names and texts of their own ----------------------------------------

// Refusal of one over-long name, and the longest accepted one travelling with
// its NUL at the record's last byte.
struct NameRow {
    const char *name;
    std::size_t longest;
    const char *refusal;
    std::int32_t (*call)(const char *suffix, const char *text, char *message, std::int32_t length);
};

const NameRow kNameRows[] = {
    {"StopSubsystem", 8011, "Subsystem name is too long (at most 8011 characters)",
     [](const char *s, const char *t, char *m, std::int32_t n) {
         std::int32_t v = 0, st = 0;
         return VexSrv_StopSubsystem(0, ".", s, t, &v, &st, m, n);
     }},
    {"StopSubsystemAndWait", 8011, "Subsystem name is too long (at most 8011 characters)",
     [](const char *s, const char *t, char *m, std::int32_t n) {
         std::int32_t v = 0, st = 0;
         return VexSrv_StopSubsystemAndWait(0, ".", s, t, 1, &v, &st, m, n);
     }},
    {"StartTaskByName", 8011, "task name is too long (at most 8011 characters)",
     [](const char *s, const char *t, char *m, std::int32_t n) {
         std::int32_t v = 0, st = 0;
         return VexSrv_StartTaskByName(0, ".", s, t, 1, &v, &st, m, n);
     }},
    {"StartTaskByNameNoBlock", 8011, "task name is too long (at most 8011 characters)",
     [](const char *s, const char *t, char *m, std::int32_t n) {
         std::int32_t v = 0, st = 0;
         return VexSrv_StartTaskByNameNoBlock(0, ".", s, t, 1, &v, &st, m, n);
     }},
    {"StopTask", 8007, "task name is too long (at most 8007 characters)",
     [](const char *s, const char *t, char *m, std::int32_t n) {
         std::int32_t v = 0, st = 0;
         return VexSrv_StopTask(0, ".", s, t, 0, &v, &st, m, n);
     }},
    {"SaveGroupConfiguration", 7999, "File name is too long (at most 7999 characters)",
     [](const char *s, const char *t, char *m, std::int32_t n) {
         std::int32_t v = 0, st = 0;
         return VexSrv_SaveGroupConfiguration(".", s, t, &v, &st, m, n);
     }},
    {"LoadGroupConfiguration", 7999, "File name is too long (at most 7999 characters)",
     [](const char *s, const char *t, char *m, std::int32_t n) {
         std::int32_t v = 0, st = 0;
         return VexSrv_LoadGroupConfiguration(".", s, t, 0, &v, &st, m, n);
     }},
};

class HostileNames : public ::testing::TestWithParam<NameRow> {};

TEST_P(HostileNames, OneCharacterTooManyIsRefusedTheLongestTravelsWhole) {
    FakeService svc;
    GuardedBuffer msg(128);
    const auto too_long = ExactText(GetParam().longest + 1);
    EXPECT_EQ(GetParam().call(svc.suffix().c_str(), too_long.get(), msg.data(), 128), 0);
    EXPECT_EQ(msg.Text(), GetParam().refusal);
    EXPECT_EQ(svc.RequestCount(), 0u);

    const auto longest = ExactText(GetParam().longest);
    EXPECT_EQ(GetParam().call(svc.suffix().c_str(), longest.get(), msg.data(), 128), 1);
    ASSERT_EQ(svc.RequestCount(), 1u);
    const Bytes sent = svc.Requests()[0];
    ASSERT_EQ(sent.size(), 8024u);
    EXPECT_EQ(sent[8022], 'N');
    EXPECT_EQ(sent[8023], 0);
    EXPECT_TRUE(msg.GuardsIntact());
}

TEST_P(HostileNames, NullAndEmptyNamesAreRefusedOrSentEmpty) {
    FakeService svc;
    for (const char *name : {static_cast<const char *>(nullptr), ""}) {
        GuardedBuffer msg(128);
        const std::int32_t r = GetParam().call(svc.suffix().c_str(), name, msg.data(), 128);
        EXPECT_TRUE(msg.GuardsIntact());
        // The group operations refuse; the others send the empty name.
        if (r == 0) {
            EXPECT_EQ(msg.Text(), "File name is invalid");
        }
    }
    for (const Bytes &sent : svc.Requests()) EXPECT_EQ(sent.size(), 8024u);
}

INSTANTIATE_TEST_SUITE_P(EveryNamedOperation, HostileNames, ::testing::ValuesIn(kNameRows),
                         [](const auto &row) { return std::string(row.param.name); });

TEST(HostileSnapshot, NullEmptyAndUnterminatedNamesAreRefused) {
    FakeService svc;
    std::int32_t value = -7, status = -7;
    GuardedBuffer msg(128);
    const char *sfx = svc.suffix().c_str();
    EXPECT_EQ(VexSrv_UpdateSnapshotList(".", sfx, nullptr, &value, &status, msg.data(), 128), 0);
    EXPECT_EQ(msg.Text(), "snapshot name should be defined");
    auto entry = std::make_unique<SnapshotListEntry>();
    std::memset(entry.get(), 0, sizeof *entry);
    EXPECT_EQ(VexSrv_UpdateSnapshotList(".", sfx, entry.get(), &value, &status, msg.data(), 128), 0);
    EXPECT_EQ(msg.Text(), "snapshot name should be defined");
    std::memset(entry.get(), 'X', sizeof *entry);
    EXPECT_EQ(VexSrv_UpdateSnapshotList(".", sfx, entry.get(), &value, &status, msg.data(), 128), 0);
    EXPECT_EQ(msg.Text(), "snapshot name is too long (at most 1023 characters)");
    EXPECT_EQ(value, -7);
    EXPECT_EQ(status, -7);
    EXPECT_EQ(svc.RequestCount(), 0u);
    EXPECT_TRUE(msg.GuardsIntact());
}

// ---- List operations --------------------------------------------------------

TEST(HostileLists, NullListPointerIsRefused) {
    FakeService svc;
    std::int32_t value = -7, status = -7;
    GuardedBuffer msg(64);
    const char *sfx = svc.suffix().c_str();
    EXPECT_EQ(VexSrv_GetTaskList(0, ".", sfx, &value, &status, 1, nullptr, msg.data(), 64), 0);
    EXPECT_EQ(msg.Text(), "list pointer should be defined");
    EXPECT_EQ(VexSrv_GetSubSysList(0, ".", sfx, &value, &status, nullptr, msg.data(), 64), 0);
    EXPECT_EQ(msg.Text(), "list pointer should be defined");
    EXPECT_EQ(svc.RequestCount(), 0u);
    EXPECT_TRUE(msg.GuardsIntact());
    VexSrv_FreeCStringArray(nullptr);
}

TEST(HostileLists, StartupOrderNamesNullEmptyTooLongAndTooMany) {
    FakeService svc;
    const char *sfx = svc.suffix().c_str();
    std::int32_t value = -7, status = -7;
    GuardedBuffer msg(128);
    auto refusal = [&](const CStringArray *names) {
        EXPECT_EQ(VexSrv_SetRegTaskListStartupOrders(".", sfx, &value, &status, names, msg.data(), 128), 0);
        EXPECT_TRUE(msg.GuardsIntact());
        return msg.Text();
    };
    EXPECT_EQ(refusal(nullptr), "task names array should be defined");
    CStringArray empty;
    EXPECT_EQ(refusal(&empty), "Tasks list is empty");
    CStringArray long_name;
    long_name.Add(std::string(255, 'L').c_str());
    EXPECT_EQ(refusal(&long_name), "Task name is too long for the startup order (at most 254 characters)");
    CStringArray many;
    for (int i = 0; i < 256; ++i) {
        std::string name(1, 'T');
        name += std::to_string(i);
        many.Add(name.c_str());
    }
    EXPECT_EQ(refusal(&many), "Too many tasks for the startup order (at most 255 named tasks)");
    CStringArray bulky;
    for (int i = 0; i < 40; ++i) {
        std::string name = std::to_string(i);
        name.append(250, 'B');
        bulky.Add(name.c_str());
    }
    EXPECT_EQ(refusal(&bulky), "Too many tasks in the registered tasks list");
    EXPECT_EQ(value, -7);
    EXPECT_EQ(status, -7);
    EXPECT_EQ(svc.RequestCount(), 0u);
}

// ---- Outputs of their own ---------------------------------------------------

TEST(HostileOutputs, VersionTextNeverPassesItsStatedLength) {
    FakeService svc;
    const char *sfx = svc.suffix().c_str();
    std::int32_t status = 0, v1 = 0, v2 = 0, v3 = 0;
    // Answered with a long text, offered 0, 5 and 16 bytes; then failed
    // exchanges (the fixed offline text) with the same room.
    for (std::uint32_t room : {0u, 5u, 16u}) {
        Bytes reply = MakeReply(0, 0, "", 8024);
        PutStr(reply, 36, std::string(500, 'V'));
        svc.Script(reply);
        GuardedBuffer text(room);
        VexSrv_GetDBVersion(".", sfx, &status, &v1, &v2, &v3, text.data(), room, nullptr, 0);
        EXPECT_TRUE(text.GuardsIntact()) << room;
        if (room == 0) {
            EXPECT_EQ(text.Contents(), "");
        }
        if (room > 0) {
            EXPECT_NE(text.Contents().find('\0'), std::string::npos) << room;
        }
        GuardedBuffer offline(room);
        EXPECT_EQ(VexSrv_GetDBVersion(".", "no-such-service", &status, &v1, &v2, &v3, offline.data(), room,
                                      nullptr, 0),
                  0);
        EXPECT_TRUE(offline.GuardsIntact()) << room;
        if (room == 5) {
            EXPECT_EQ(offline.Contents(), std::string("Targ\0", 5));
        }
    }
    // No text buffer at all.
    svc.Script(MakeReply(0, 0, "", 8024));
    EXPECT_EQ(VexSrv_GetDBVersion(".", sfx, &status, &v1, &v2, &v3, nullptr, 64, nullptr, 0), 1);
}

TEST(HostileOutputs, AuditFieldsTakeExactly32BytesAndNullFieldsAreSkipped) {
    FakeService svc;
    const char *sfx = svc.suffix().c_str();
    Bytes reply = MakeReply(0, 0, "", 8024);
    for (std::size_t i = 32; i < 96; ++i) reply[i] = 'F'; // both fields, no NUL
    svc.Script(reply);
    svc.Script(reply);
    std::int32_t s1 = 0, s2 = 0, value = 0, status = 0;
    GuardedBuffer first(32), second(32);
    EXPECT_EQ(VexSrv_GetAuditTrailConfiguration(".", sfx, &s1, &s2, first.data(), second.data(), &value, &status,
                                                nullptr, 0),
              1);
    EXPECT_EQ(first.Contents(), std::string(32, 'F'));
    EXPECT_EQ(second.Contents(), std::string(32, 'F'));
    EXPECT_TRUE(first.GuardsIntact() && second.GuardsIntact());
    EXPECT_EQ(VexSrv_GetAuditTrailConfiguration(".", sfx, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                nullptr, 0),
              1);
}

TEST(HostileOutputs, NullTokenPermissionAndSecondValuePointersAreSkipped) {
    FakeService svc;
    const char *sfx = svc.suffix().c_str();
    svc.Script(MakeReply(0, 0, "", 536));
    EXPECT_EQ(VexSrv_GetExclLock(".", sfx, nullptr, nullptr, nullptr, nullptr, 0), 1);
    svc.Script(MakeReply(0, 0, "", 8024));
    EXPECT_EQ(VexSrv_GetDBPermis(".", sfx, 1, nullptr, nullptr, nullptr, nullptr, nullptr, 0), 1);
    svc.Script(MakeReply(0, 1, "", 8024));
    EXPECT_EQ(VexSrv_GetDBPermis(".", sfx, 1, nullptr, nullptr, nullptr, nullptr, nullptr, 0), 1);
    EXPECT_EQ(VexSrv_CheckTidewell(".", sfx, nullptr, nullptr, nullptr, nullptr, 0), 1);
    std::int32_t value = 0;
    EXPECT_EQ(VexSrv_SetTidewellStatus(".", sfx, nullptr, nullptr, nullptr, 0), 1);
    EXPECT_EQ(VexSrv_GetTidewellStatus(".", sfx, &value, nullptr, nullptr, 0), 1);
    EXPECT_EQ(svc.RequestCount(), 7u);
}

// ---- Discovery ----------------------------------------------------------------

void VEXSRV_CDECL IgnoreAnswer(const char *, const char *, const char *, std::int32_t) {}

TEST(HostileBroadcast, NullCallbackAndLongTargetsAreRefusedWithinTheBuffer) {
    GuardedBuffer msg(128);
    EXPECT_EQ(VexSrv_Broadcast("NODE", 0, nullptr, 0, msg.data(), 128), 0);
    EXPECT_EQ(msg.Text(), "callback should be defined");
    EXPECT_EQ(VexSrv_Broadcast("SIXTEEN_CHARS_XX.example", 0, IgnoreAnswer, 0, msg.data(), 128), 0);
    EXPECT_EQ(msg.Text(), "Domain name or node name cannot be greater than 15 characters");
    const auto huge = ExactText(5000, 'D');
    EXPECT_EQ(VexSrv_Broadcast(huge.get(), 0, IgnoreAnswer, 0, msg.data(), 128), 0);
    EXPECT_TRUE(msg.GuardsIntact());
    // Cut to a buffer of 8 bytes, and nothing at all for lengths 0 and -1.
    GuardedBuffer small(8);
    EXPECT_EQ(VexSrv_Broadcast("SIXTEEN_CHARS_XX", 0, IgnoreAnswer, 0, small.data(), 8), 0);
    EXPECT_EQ(small.Contents(), "Domain n");
    GuardedBuffer untouched(8);
    EXPECT_EQ(VexSrv_Broadcast("SIXTEEN_CHARS_XX", 0, IgnoreAnswer, 0, untouched.data(), 0), 0);
    EXPECT_EQ(VexSrv_Broadcast("SIXTEEN_CHARS_XX", 0, nullptr, 0, untouched.data(), -1), 0);
    EXPECT_EQ(untouched.Contents(), std::string(8, '#'));
    EXPECT_TRUE(small.GuardsIntact() && untouched.GuardsIntact());
}

// A holder of the browse mailslot that never reads it (a hung service, say):
// the requests pile up unread, and still every broadcast returns after its
// time-out instead of waiting for room in the mailslot.
TEST(HostileBroadcast, BrowseMailslotThatIsNeverReadDoesNotBlockTheCaller) {
    // The mailslot's name is the machine's own: take turns with other tests.
    platform::MailslotHandle browse = platform::kNoMailslot;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::uint32_t e = 0;
    while ((e = platform::CreateLocalMailslot("\\\\.\\mailslot\\Tidewell\\Browse", 0, 0, platform::OpenSecurity{},
                                              &browse)) == platform::kErrorAlreadyExists &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(e, 0u);
    constexpr int kBroadcasts = 40;
    std::atomic<int> done{0}, succeeded{0};
    std::thread caller([&] {
        for (int i = 0; i < kBroadcasts; ++i, ++done) {
            char msg[256];
            // "?" names the local computer's mailslot on every platform.
            if (VexSrv_Broadcast("?", 0, IgnoreAnswer, 0, msg, sizeof msg) == 1) ++succeeded;
        }
    });
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (done.load() < kBroadcasts && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (done.load() < kBroadcasts) {
        // The blocked call cannot be cancelled; end the program with the finding.
        std::fprintf(stderr, "FATAL: broadcast %d of %d still blocked after 30 s\n", done.load() + 1, kBroadcasts);
        std::fflush(stderr);
        std::_Exit(3);
    }
    caller.join();
    platform::CloseMailslot(browse);
    EXPECT_EQ(succeeded.load(), kBroadcasts);
}

} // namespace
} // namespace vex::test
