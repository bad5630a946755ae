// Task list editing and task start and stop, through the built library
// against the fake service: whole requests, refusals in their order, and the
// two ways of reporting a failed exchange.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/fake_service.h"
#include "tests/support/system_text.h"
#include "tests/support/task_wire.h"
#include "tests/support/wire.h"
#include "vexsrvapi.h"

namespace vex::test {
namespace {

constexpr const char *kInsert = "Inserting tasks to a given location is not supported yet.";
constexpr const char *kNoCommandLine = "command_line should be defined";
constexpr const char *kNoTaskName = "task name should be defined";
constexpr const char *kNoRecord = "task record should be defined";
constexpr const char *kSuffixTooLong = "service suffix is too long (at most 63 characters)";

std::string Unterminated(const Slot &s) {
    return std::string(s.name) + " is not terminated within its " + std::to_string(s.width) + " bytes";
}

std::string ConnectionMessage(const std::string &suffix) {
    return "Cannot connect to service 'Kestrane Tidewell Task Service" + suffix +
           "' on node '.'\nPlease make sure the service is running.";
}

// ---- Layout 1, narrow form ---------------------------------------------------

// Record offset, request offset (14 + record offset), width, bit.
constexpr Slot kL1TaskName{"task_name", 0, 14, 32, 0x40};
constexpr Slot kL1CommandLine{"command_line", 96, 110, 128, 0x1};
constexpr Slot kL1TextA{"text_a", 224, 238, 128, 0x20};
constexpr Slot kL1TextB{"text_b", 352, 366, 128, 0x2};
constexpr Slot kL1TextC{"text_c", 480, 494, 128, 0x4};
constexpr Slot kL1TextD{"text_d", 608, 622, 128, 0x8};
constexpr Slot kL1TextE{"text_e", 736, 750, 128, 0x10};
constexpr Slot kL1Texts[] = {kL1TaskName, kL1CommandLine, kL1TextA, kL1TextB, kL1TextC, kL1TextD, kL1TextE};
constexpr std::size_t kL1Size = 864;
constexpr std::size_t kL1Suffix = 46;

const TaskDefinition1 *L1(const TaskCase &c) {
    return static_cast<const TaskDefinition1 *>(c.record());
}

TEST(TaskListLayout1, CommandLineOnlyGives0x101And0x121ForUpdate) {
    FakeService svc;
    const std::string &sfx = svc.suffix();
    int32_t value = 0, status = 0;
    TaskCase add(kL1Size, 0xFFFF0008), update(kL1Size, 25), remove(kL1Size, 24), start(kL1Size, 2, -77);
    for (TaskCase *c : {&add, &update, &remove, &start})
        c->Text(kL1CommandLine, "run.exe").Suffix(kL1Suffix, sfx);
    add.Flags16(0x101);
    update.Flags16(0x121); // text_a always goes, empty
    remove.Flags16(0x101);
    start.Flags16(0x101);
    EXPECT_EQ(VexSrv_AddTaskToList(".", sfx.c_str(), L1(add), -1, &value, &status, nullptr, 0), 1);
    EXPECT_EQ(VexSrv_UpdateTaskList(".", sfx.c_str(), L1(update), &value, &status, nullptr, 0), 1);
    EXPECT_EQ(VexSrv_RemoveTaskFromList(".", sfx.c_str(), L1(remove), &value, &status, nullptr, 0), 1);
    EXPECT_EQ(VexSrv_StartTask(-77, ".", sfx.c_str(), L1(start), &value, &status, nullptr, 0), 1);
    const auto reqs = svc.Requests();
    ASSERT_EQ(reqs.size(), 4u);
    EXPECT_BYTES_EQ(add.expected(), reqs[0]);
    EXPECT_BYTES_EQ(update.expected(), reqs[1]);
    EXPECT_BYTES_EQ(remove.expected(), reqs[2]);
    EXPECT_BYTES_EQ(start.expected(), reqs[3]);
}

TEST(TaskListLayout1, AllTextsEmptyGive0x120ForUpdateAnd0x100ForRemove) {
    FakeService svc;
    const std::string &sfx = svc.suffix();
    int32_t value = 0, status = 0;
    TaskCase update(kL1Size, 25), remove(kL1Size, 24);
    update.Suffix(kL1Suffix, sfx).Flags16(0x120);
    remove.Suffix(kL1Suffix, sfx).Flags16(0x100);
    EXPECT_EQ(VexSrv_UpdateTaskList(".", sfx.c_str(), L1(update), &value, &status, nullptr, 0), 1);
    EXPECT_EQ(VexSrv_RemoveTaskFromList(".", sfx.c_str(), L1(remove), &value, &status, nullptr, 0), 1);
    const auto reqs = svc.Requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_BYTES_EQ(update.expected(), reqs[0]);
    EXPECT_BYTES_EQ(remove.expected(), reqs[1]);
}

// Every text set, once short and once filling its field up to its last byte
// (and a 63-character suffix): each lands whole at its narrow offset.
TEST(TaskListLayout1, EveryTextTravelsWholeAtItsNarrowOffset) {
    for (const bool full : {false, true}) {
        FakeService svc(full ? SuffixOfLength(63) : UniqueSuffix());
        const std::string &sfx = svc.suffix();
        int32_t value = 0, status = 0;
        std::vector<TaskCase> cases = {TaskCase(kL1Size, 0xFFFF0008), TaskCase(kL1Size, 25), TaskCase(kL1Size, 24),
                                       TaskCase(kL1Size, 2, 0x7FFFFFFF)};
        for (TaskCase &c : cases) {
            char first = 'a';
            for (const Slot &s : kL1Texts)
                c.Text(s, full ? Filler(s.width - 1, first++) : std::string(1, first++) + "x");
            c.Suffix(kL1Suffix, sfx).Flags16(0x17F);
        }
        EXPECT_EQ(VexSrv_AddTaskToList(".", sfx.c_str(), L1(cases[0]), -1, &value, &status, nullptr, 0), 1);
        EXPECT_EQ(VexSrv_UpdateTaskList(".", sfx.c_str(), L1(cases[1]), &value, &status, nullptr, 0), 1);
        EXPECT_EQ(VexSrv_RemoveTaskFromList(".", sfx.c_str(), L1(cases[2]), &value, &status, nullptr, 0), 1);
        EXPECT_EQ(VexSrv_StartTask(0x7FFFFFFF, ".", sfx.c_str(), L1(cases[3]), &value, &status, nullptr, 0), 1);
        const auto reqs = svc.Requests();
        ASSERT_EQ(reqs.size(), 4u);
        for (std::size_t i = 0; i < 4; ++i)
            EXPECT_BYTES_EQ(cases[i].expected(), reqs[i]) << "full " << full << " op " << i;
        // presence_flags take bytes 12 and 13 only: 14 is task_name's first character.
        EXPECT_EQ(reqs[0][14], 'a');
    }
}

TEST(TaskListLayout1, RefusalsComeInTheirOrderAndSendNothing) {
    FakeService svc(SuffixOfLength(64)); // one too long for the payload's slot
    const std::string long_sfx = svc.suffix();
    const std::string sfx = long_sfx.substr(0, 10);
    TaskCase empty(kL1Size, 0);
    TaskCase bad_b(kL1Size, 0);
    bad_b.Unterminated(kL1TextB);
    TaskCase cmd(kL1Size, 0);
    cmd.Text(kL1CommandLine, "run.exe");
    auto add = [&](const TaskDefinition1 *t, int32_t pos, const std::string &s) {
        return [&, t, pos](int32_t *v, int32_t *st, char *m, int32_t l) {
            return VexSrv_AddTaskToList(".", s.c_str(), t, pos, v, st, m, l);
        };
    };
    // The position is tested before anything else, the record included.
    ExpectRefused(svc, kInsert, add(L1(empty), 0, sfx));
    ExpectRefused(svc, kInsert, add(nullptr, 0, sfx));
    ExpectRefused(svc, kInsert, add(L1(bad_b), 5, long_sfx));
    // Then the command line, ahead of a malformed field or suffix.
    ExpectRefused(svc, kNoCommandLine, add(L1(empty), -1, sfx));
    ExpectRefused(svc, kNoCommandLine, add(L1(bad_b), -1, long_sfx));
    ExpectRefused(svc, kNoRecord, add(nullptr, -1, sfx));
    ExpectRefused(svc, kSuffixTooLong, add(L1(cmd), -1, long_sfx));

    auto start = [&](const TaskDefinition1 *t, const std::string &s) {
        return [&, t](int32_t *v, int32_t *st, char *m, int32_t l) {
            return VexSrv_StartTask(3, ".", s.c_str(), t, v, st, m, l);
        };
    };
    ExpectRefused(svc, kNoCommandLine, start(L1(empty), sfx));
    ExpectRefused(svc, kNoRecord, start(nullptr, sfx));
    ExpectRefused(svc, kSuffixTooLong, start(L1(cmd), long_sfx));

    for (auto *fn : {VexSrv_UpdateTaskList, VexSrv_RemoveTaskFromList}) {
        ExpectRefused(svc, kNoRecord, [&](int32_t *v, int32_t *st, char *m, int32_t l) {
            return fn(".", sfx.c_str(), nullptr, v, st, m, l);
        });
        // A malformed field ahead of the suffix; the suffix is sent even empty.
        ExpectRefused(svc, Unterminated(kL1TextB), [&](int32_t *v, int32_t *st, char *m, int32_t l) {
            return fn(".", long_sfx.c_str(), L1(bad_b), v, st, m, l);
        });
        ExpectRefused(svc, kSuffixTooLong, [&](int32_t *v, int32_t *st, char *m, int32_t l) {
            return fn(".", long_sfx.c_str(), L1(empty), v, st, m, l);
        });
    }
}

TEST(TaskListLayout1, EveryTextWithoutItsNulIsRefusedByName) {
    FakeService svc;
    const std::string &sfx = svc.suffix();
    for (const Slot &s : kL1Texts) {
        TaskCase c(kL1Size, 0);
        c.Text(kL1CommandLine, "run.exe").Unterminated(s);
        for (auto *fn : {VexSrv_UpdateTaskList, VexSrv_RemoveTaskFromList}) {
            ExpectRefused(svc, Unterminated(s), [&](int32_t *v, int32_t *st, char *m, int32_t l) {
                return fn(".", sfx.c_str(), L1(c), v, st, m, l);
            });
        }
        ExpectRefused(svc, Unterminated(s), [&](int32_t *v, int32_t *st, char *m, int32_t l) {
            return VexSrv_AddTaskToList(".", sfx.c_str(), L1(c), -1, v, st, m, l);
        });
        ExpectRefused(svc, Unterminated(s), [&](int32_t *v, int32_t *st, char *m, int32_t l) {
            return VexSrv_StartTask(0, ".", sfx.c_str(), L1(c), v, st, m, l);
        });
    }
}

TEST(TaskListLayout1, AddPositionMinusOneIsTheOnlyOneAccepted) {
    FakeService svc;
    TaskCase c(kL1Size, 0);
    c.Text(kL1CommandLine, "x");
    for (const int32_t pos : {1, -2, 0x7FFFFFFF, static_cast<int32_t>(0x8000FFFF), 65535}) {
        ExpectRefused(svc, kInsert, [&](int32_t *v, int32_t *st, char *m, int32_t l) {
            return VexSrv_AddTaskToList(".", svc.suffix().c_str(), L1(c), pos, v, st, m, l);
        });
    }
}

// ---- StartTask reports a failed exchange with the system's text ---------------

TEST(StartTask, MissingPipeGivesStatus2AndTheSystemTextNotTheConnectionMessage) {
    TaskCase c(kL1Size, 0);
    c.Text(kL1CommandLine, "run.exe");
    int32_t value = 31, status = 0;
    char msg[300];
    std::memset(msg, '#', sizeof msg);
    EXPECT_EQ(VexSrv_StartTask(0, ".", UniqueSuffix("_absent").c_str(), L1(c), &value, &status, msg, sizeof msg), 0);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(value, 31);
    EXPECT_EQ(std::string(msg), SystemText(2));
    // Without a buffer the status still arrives.
    status = 0;
    EXPECT_EQ(VexSrv_StartTask(0, ".", UniqueSuffix("_absent").c_str(), L1(c), &value, &status, nullptr, 300), 0);
    EXPECT_EQ(status, 2);
}

TEST(StartTask, OtherFailuresAndServiceAnswersAreHandedBack) {
    FakeService svc;
    svc.ScriptHangUp();
    svc.Script(0, 1, "", 537); // longer than offered
    svc.Script(9, -4, "task refused");
    TaskCase c(kL1Size, 0);
    c.Text(kL1CommandLine, "run.exe");
    int32_t value = 31, status = 0;
    char msg[200];
    EXPECT_EQ(VexSrv_StartTask(0, ".", svc.suffix().c_str(), L1(c), &value, &status, msg, sizeof msg), 0);
    EXPECT_NE(status, 0);
    EXPECT_EQ(value, 31);
    EXPECT_EQ(std::string(msg), SystemText(static_cast<std::uint32_t>(status)));
    EXPECT_EQ(VexSrv_StartTask(0, ".", svc.suffix().c_str(), L1(c), &value, &status, msg, sizeof msg), 0);
    EXPECT_EQ(status, 234);
    EXPECT_EQ(std::string(msg), SystemText(234));
    EXPECT_EQ(VexSrv_StartTask(0, ".", svc.suffix().c_str(), L1(c), &value, &status, msg, sizeof msg), 0);
    EXPECT_EQ(status, 9);
    EXPECT_EQ(value, -4);
    EXPECT_STREQ(msg, "task refused");
}

// ---- Layouts 2 to 5, wide form -----------------------------------------------

using WideOp = int32_t (*)(const char *, const char *, const void *, int32_t *, int32_t *, char *, int32_t);

template <class R,
          int32_t(VEXSRV_CALL *Fn)(const char *, const char *, const R *, int32_t *, int32_t *, char *, int32_t)>
int32_t Through(const char *n, const char *s, const void *t, int32_t *v, int32_t *st, char *m, int32_t l) {
    return Fn(n, s, static_cast<const R *>(t), v, st, m, l);
}

struct WideLayout {
    const char *label;
    std::size_t size;
    std::uint32_t add_code, update_code;
    WideOp add, update;
    std::vector<Slot> texts; // task_name, command_line, text_a .. text_f
    std::vector<Slot> ints;  // position first, then numbers, affinity, priority
    std::vector<Slot> bytes;
    std::uint32_t add_worked, update_worked; // name, command line, suffix, numbers
    std::uint32_t every_bit;
};

// Names the layout in test output instead of dumping its bytes.
void PrintTo(const WideLayout &l, std::ostream *os) {
    *os << l.label;
}

const Slot &Named(const std::vector<Slot> &slots, const char *name) {
    for (const Slot &s : slots)
        if (std::strcmp(s.name, name) == 0) return s;
    throw std::logic_error(name);
}

// Texts of layouts 3 to 5: three 1024-byte texts.
std::vector<Slot> WideTexts3() {
    return {{"task_name", 0, 16, 32, 0x40},     {"command_line", 96, 112, 1024, 0x1},
            {"text_a", 1120, 1136, 1024, 0x20}, {"text_b", 2144, 2160, 128, 0x2},
            {"text_c", 2272, 2288, 128, 0x4},   {"text_d", 2400, 2416, 128, 0x8},
            {"text_e", 2528, 2544, 1024, 0x10}, {"text_f", 3552, 3568, 32, 0x400}};
}
std::vector<Slot> WideInts3() {
    return {{"position", 3584, 3600, 4, 0x80},
            {"number_a", 3588, 3604, 4, 0x800},
            {"number_b", 3592, 3608, 4, 0x1000},
            {"number_c", 3596, 3612, 4, 0x2000}};
}

std::vector<WideLayout> WideLayouts() {
    std::vector<WideLayout> all;
    all.push_back(
        {"Layout2",
         1300,
         30,
         31,
         Through<TaskDefinition2, VexSrv_AddTaskToList2>,
         Through<TaskDefinition2, VexSrv_UpdateTaskList2>,
         {{"task_name", 0, 16, 32, 0x40},
          {"command_line", 96, 112, 512, 0x1},
          {"text_a", 608, 624, 128, 0x20},
          {"text_b", 736, 752, 128, 0x2},
          {"text_c", 864, 880, 128, 0x4},
          {"text_d", 992, 1008, 128, 0x8},
          {"text_e", 1120, 1136, 128, 0x10},
          {"text_f", 1248, 1264, 32, 0x400}},
         {{"position", 1280, 1296, 4, 0x80},
          {"number_a", 1284, 1300, 4, 0x800},
          {"number_b", 1288, 1304, 4, 0x1000},
          {"number_c", 1292, 1308, 4, 0x2000}},
         {{"byte_a", 1296, 1312, 1, 0x4000}, {"byte_b", 1297, 1313, 1, 0x8000}, {"byte_c", 1298, 1314, 1, 0x10000}},
         0x1F9C1,
         0x1F9E1,
         0x1FDFF});
    all.push_back(
        {"Layout3",
         3604,
         39,
         40,
         Through<TaskDefinition3, VexSrv_AddTaskToList3>,
         Through<TaskDefinition3, VexSrv_UpdateTaskList3>,
         WideTexts3(),
         WideInts3(),
         {{"byte_a", 3600, 3616, 1, 0x4000}, {"byte_b", 3601, 3617, 1, 0x8000}, {"byte_c", 3602, 3618, 1, 0x10000}},
         0x1F9C1,
         0x1F9E1,
         0x1FDFF});
    WideLayout l4{
        "Layout4",
        3608,
        42,
        43,
        Through<TaskDefinition4, VexSrv_AddTaskToList4>,
        Through<TaskDefinition4, VexSrv_UpdateTaskList4>,
        WideTexts3(),
        WideInts3(),
        {{"byte_a", 3604, 3620, 1, 0x4000}, {"byte_b", 3605, 3621, 1, 0x8000}, {"byte_c", 3606, 3622, 1, 0x10000}},
        0x3F9C1,
        0x3F9E1,
        0x3FDFF};
    l4.ints.push_back({"affinity", 3600, 3616, 4, 0x20000});
    all.push_back(l4);
    WideLayout l5{
        "Layout5",
        3612,
        45,
        46,
        Through<TaskDefinition5, VexSrv_AddTaskToList5>,
        Through<TaskDefinition5, VexSrv_UpdateTaskList5>,
        WideTexts3(),
        WideInts3(),
        {{"byte_a", 3608, 3624, 1, 0x4000}, {"byte_b", 3609, 3625, 1, 0x8000}, {"byte_c", 3610, 3626, 1, 0x10000}},
        0x7F9C1,
        0x7F9E1,
        0x7FDFF};
    l5.ints.push_back({"affinity", 3600, 3616, 4, 0x20000});
    l5.ints.push_back({"priority", 3604, 3620, 4, 0x40000});
    all.push_back(l5);
    return all;
}

constexpr std::size_t kWideSuffix = 48;

class TaskListWide : public ::testing::TestWithParam<WideLayout> {
  protected:
    const WideLayout &L() const { return GetParam(); }
    const Slot &T(const char *name) const { return Named(L().texts, name); }
    // Position -1 (so an add accepts it), every other number and byte 0.
    TaskCase Worked(std::uint32_t code, std::int32_t position = -1) const {
        TaskCase c(L().size, code);
        c.Int(L().ints[0], position);
        return c;
    }
};

TEST_P(TaskListWide, WorkedFlagsForNameCommandLineAndSuffix) {
    FakeService svc;
    const std::string &sfx = svc.suffix();
    int32_t value = 0, status = 0;
    TaskCase add = Worked(L().add_code), update = Worked(L().update_code);
    for (TaskCase *c : {&add, &update})
        c->Text(T("task_name"), "T1").Text(T("command_line"), "run.exe").Suffix(kWideSuffix, sfx);
    add.Flags32(L().add_worked);
    update.Flags32(L().update_worked); // text_a always goes, empty
    EXPECT_EQ(L().add(".", sfx.c_str(), add.record(), &value, &status, nullptr, 0), 1);
    EXPECT_EQ(L().update(".", sfx.c_str(), update.record(), &value, &status, nullptr, 0), 1);
    const auto reqs = svc.Requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_BYTES_EQ(add.expected(), reqs[0]);
    EXPECT_BYTES_EQ(update.expected(), reqs[1]);
}

// Every field set to something of its own, short texts and then texts that
// fill their fields up to the last byte; numbers include 0 and the extremes.
TEST_P(TaskListWide, EveryFieldLandsAtItsWideOffset) {
    for (const bool full : {false, true}) {
        FakeService svc(full ? SuffixOfLength(63) : UniqueSuffix());
        const std::string &sfx = svc.suffix();
        int32_t value = 0, status = 0;
        TaskCase add(L().size, L().add_code), update(L().size, L().update_code);
        const std::int32_t numbers[] = {0, 0x01020304, -2, 0x7FFFFFFF, static_cast<std::int32_t>(0x80000000)};
        const std::uint8_t byte_values[] = {0, 0xFF, 0x80};
        for (TaskCase *c : {&add, &update}) {
            char first = 'a';
            for (const Slot &s : L().texts)
                c->Text(s, full ? Filler(s.width - 1, first++) : std::string(2, first++));
            for (std::size_t i = 1; i < L().ints.size(); ++i)
                c->Int(L().ints[i], numbers[i - 1]);
            for (std::size_t i = 0; i < 3; ++i)
                c->Byte(L().bytes[i], byte_values[i]);
            c->Suffix(kWideSuffix, sfx).Flags32(L().every_bit);
        }
        add.Int(L().ints[0], -1);
        update.Int(L().ints[0], 7); // updates send the position as it is
        EXPECT_EQ(L().add(".", sfx.c_str(), add.record(), &value, &status, nullptr, 0), 1);
        EXPECT_EQ(L().update(".", sfx.c_str(), update.record(), &value, &status, nullptr, 0), 1);
        const auto reqs = svc.Requests();
        ASSERT_EQ(reqs.size(), 2u);
        EXPECT_BYTES_EQ(add.expected(), reqs[0]) << "full " << full;
        EXPECT_BYTES_EQ(update.expected(), reqs[1]) << "full " << full;
    }
}

TEST_P(TaskListWide, UpdateWithoutCommandLineGoesWithItsBitClear) {
    FakeService svc;
    const std::string &sfx = svc.suffix();
    int32_t value = 0, status = 0;
    TaskCase update = Worked(L().update_code, 7);
    update.Text(T("task_name"), "T1").Suffix(kWideSuffix, sfx).Flags32(L().update_worked & ~0x1u);
    EXPECT_EQ(L().update(".", sfx.c_str(), update.record(), &value, &status, nullptr, 0), 1);
    ASSERT_EQ(svc.RequestCount(), 1u);
    EXPECT_BYTES_EQ(update.expected(), svc.Requests()[0]);
}

TEST_P(TaskListWide, RefusalsComeInTheirOrderAndSendNothing) {
    FakeService svc(SuffixOfLength(64));
    const std::string long_sfx = svc.suffix();
    const std::string sfx = long_sfx.substr(0, 10);
    auto call = [&](WideOp fn, const TaskCase &c, const std::string &s) {
        return [&, fn](int32_t *v, int32_t *st, char *m, int32_t l) {
            return fn(".", s.c_str(), c.record(), v, st, m, l);
        };
    };
    auto null_record = [&](WideOp fn) {
        return
            [&, fn](int32_t *v, int32_t *st, char *m, int32_t l) { return fn(".", sfx.c_str(), nullptr, v, st, m, l); };
    };
    const TaskCase nothing = Worked(0, 5); // position 5, every text empty
    TaskCase bad_a = Worked(0, 5);
    bad_a.Unterminated(T("text_a"));
    ExpectRefused(svc, kInsert, call(L().add, nothing, sfx));
    ExpectRefused(svc, kInsert, call(L().add, bad_a, long_sfx));
    const TaskCase empty = Worked(0);
    ExpectRefused(svc, kNoCommandLine, call(L().add, empty, sfx)); // before the task name
    TaskCase no_name = Worked(0);
    no_name.Text(T("command_line"), "run.exe").Unterminated(T("text_b"));
    ExpectRefused(svc, kNoTaskName, call(L().add, no_name, long_sfx));
    ExpectRefused(svc, kNoTaskName, call(L().update, no_name, long_sfx));
    ExpectRefused(svc, kNoRecord, null_record(L().add));
    ExpectRefused(svc, kNoRecord, null_record(L().update));
    TaskCase named = Worked(0);
    named.Text(T("task_name"), "T1").Text(T("command_line"), "run.exe");
    ExpectRefused(svc, kSuffixTooLong, call(L().add, named, long_sfx));
    ExpectRefused(svc, kSuffixTooLong, call(L().update, named, long_sfx));
    // Each text field without its NUL, named, ahead of the suffix.
    for (const Slot &s : L().texts) {
        TaskCase bad = named;
        bad.Unterminated(s);
        ExpectRefused(svc, Unterminated(s), call(L().add, bad, long_sfx));
        ExpectRefused(svc, Unterminated(s), call(L().update, bad, long_sfx));
    }
}

TEST_P(TaskListWide, FailedExchangeGivesTheConnectionMessageAndServiceAnswersPassThrough) {
    TaskCase named = Worked(0);
    named.Text(T("task_name"), "T1").Text(T("command_line"), "run.exe");
    const std::string absent = UniqueSuffix("_absent");
    int32_t value = 8, status = 0;
    char msg[300];
    EXPECT_EQ(L().add(".", absent.c_str(), named.record(), &value, &status, msg, sizeof msg), 0);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(value, 8);
    EXPECT_EQ(std::string(msg), ConnectionMessage(absent));

    FakeService svc;
    svc.Script(4, 17, "unknown task");
    EXPECT_EQ(L().update(".", svc.suffix().c_str(), named.record(), &value, &status, msg, sizeof msg), 0);
    EXPECT_EQ(status, 4);
    EXPECT_EQ(value, 17);
    EXPECT_STREQ(msg, "unknown task");
}

INSTANTIATE_TEST_SUITE_P(Tasks, TaskListWide, ::testing::ValuesIn(WideLayouts()),
                         [](const auto &row) { return std::string(row.param.label); });

TEST(TaskListWide, EmptySuffixLeavesItsBitClear) {
    // The empty suffix names one pipe for the whole machine; another program
    // may hold it.
    std::unique_ptr<FakeService> svc;
    try {
        svc = std::make_unique<FakeService>("");
    } catch (const std::exception &e) {
        GTEST_SKIP() << "the pipe of the empty suffix is taken: " << e.what();
    }
    const Slot name{"task_name", 0, 16, 32, 0x40}, cmd{"command_line", 96, 112, 512, 0x1};
    TaskCase add(1300, 30);
    add.Int({"position", 1280, 1296, 4, 0x80}, -1).Text(name, "T1").Text(cmd, "run.exe").Flags32(0x1F8C1);
    int32_t value = 0, status = 0;
    EXPECT_EQ(
        VexSrv_AddTaskToList2(".", "", static_cast<const TaskDefinition2 *>(add.record()), &value, &status, nullptr, 0),
        1);
    TaskCase narrow(kL1Size, 24);
    narrow.Flags16(0x100); // the narrow form sets it over an empty slot
    EXPECT_EQ(VexSrv_RemoveTaskFromList(".", nullptr, L1(narrow), &value, &status, nullptr, 0), 1);
    bool seen_wide = false, seen_narrow = false;
    for (const Bytes &r : svc->Requests()) {
        if (LE32(r, 4) == 30) {
            seen_wide = true;
            EXPECT_BYTES_EQ(add.expected(), r);
        } else if (LE32(r, 4) == 24) {
            seen_narrow = true;
            EXPECT_BYTES_EQ(narrow.expected(), r);
        }
    }
    EXPECT_TRUE(seen_wide && seen_narrow);
}

// ---- By name ----------------------------------------------------------------

TEST(TaskByName, CodeWordCarriesTheModifiersSixteenBits) {
    FakeService svc;
    const char *sfx = svc.suffix().c_str();
    int32_t value = 0, status = 0;
    EXPECT_EQ(VexSrv_StartTaskByName(11, ".", sfx, "PUMP", 5, &value, &status, nullptr, 0), 1);
    EXPECT_EQ(VexSrv_StartTaskByName(11, ".", sfx, "PUMP", -1, &value, &status, nullptr, 0), 1);
    EXPECT_EQ(VexSrv_StartTaskByNameNoBlock(11, ".", sfx, "PUMP", 5, &value, &status, nullptr, 0), 1);
    EXPECT_EQ(VexSrv_StartTaskByNameNoBlock(-11, ".", sfx, "PUMP", -1, &value, &status, nullptr, 0), 1);
    EXPECT_EQ(VexSrv_StartTaskByName(0, ".", sfx, "", 0, &value, &status, nullptr, 0), 1);
    EXPECT_EQ(VexSrv_StopTask(12, ".", sfx, "PUMP", -9, &value, &status, nullptr, 0), 1);
    const std::pair<std::uint32_t, std::int32_t> starts[] = {
        {0x50003, 11}, {0xFFFF0003, 11}, {0x5001D, 11}, {0xFFFF001D, -11}};
    const auto reqs = svc.Requests();
    ASSERT_EQ(reqs.size(), 6u);
    for (std::size_t i = 0; i < 4; ++i) {
        Bytes expected = Request(starts[i].first, starts[i].second);
        PutStr(expected, 12, "PUMP");
        EXPECT_BYTES_EQ(expected, reqs[i]) << i;
    }
    EXPECT_BYTES_EQ(Request(3), reqs[4]); // an empty name goes as its NUL
    Bytes stop = Request(5, 12);
    PutLE32(stop, 12, static_cast<std::uint32_t>(-9));
    PutStr(stop, 16, "PUMP");
    EXPECT_BYTES_EQ(stop, reqs[5]);
}

TEST(TaskByName, LongestNamesFillTheRequestAndOneMoreIsRefused) {
    FakeService svc;
    const char *sfx = svc.suffix().c_str();
    int32_t value = 0, status = 0;
    const std::string start_name(8011, 'N'), stop_name(8007, 'S');
    EXPECT_EQ(VexSrv_StartTaskByName(0, ".", sfx, start_name.c_str(), 1, &value, &status, nullptr, 0), 1);
    EXPECT_EQ(VexSrv_StopTask(0, ".", sfx, stop_name.c_str(), 2, &value, &status, nullptr, 0), 1);
    const auto reqs = svc.Requests();
    ASSERT_EQ(reqs.size(), 2u);
    Bytes start = Request(0x10003);
    PutStr(start, 12, start_name);
    EXPECT_BYTES_EQ(start, reqs[0]);
    Bytes stop = Request(5);
    PutLE32(stop, 12, 2);
    PutStr(stop, 16, stop_name);
    EXPECT_BYTES_EQ(stop, reqs[1]);

    const std::string start_long(8012, 'N'), stop_long(8008, 'S');
    const char *kStartLong = "task name is too long (at most 8011 characters)";
    ExpectRefused(svc, kStartLong, [&](int32_t *v, int32_t *st, char *m, int32_t l) {
        return VexSrv_StartTaskByName(0, ".", sfx, start_long.c_str(), 1, v, st, m, l);
    });
    ExpectRefused(svc, kStartLong, [&](int32_t *v, int32_t *st, char *m, int32_t l) {
        return VexSrv_StartTaskByNameNoBlock(0, ".", sfx, start_long.c_str(), 1, v, st, m, l);
    });
    ExpectRefused(svc, "task name is too long (at most 8007 characters)",
                  [&](int32_t *v, int32_t *st, char *m, int32_t l) {
                      return VexSrv_StopTask(0, ".", sfx, stop_long.c_str(), 2, v, st, m, l);
                  });
}

TEST(TaskByName, MissingPipeGivesTheConnectionMessage) {
    const std::string absent = UniqueSuffix("_absent");
    int32_t value = 3, status = 0;
    char msg[300];
    EXPECT_EQ(VexSrv_StartTaskByName(0, ".", absent.c_str(), "PUMP", 0, &value, &status, msg, sizeof msg), 0);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(std::string(msg), ConnectionMessage(absent));
    status = 0;
    EXPECT_EQ(VexSrv_StopTask(0, ".", absent.c_str(), "PUMP", 0, &value, &status, msg, sizeof msg), 0);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(value, 3);
    EXPECT_EQ(std::string(msg), ConnectionMessage(absent));
}

// ---- The message buffer ---------------------------------------------------------

TEST(TaskMessages, LengthZeroLeavesTheBufferUntouchedOnEveryPath) {
    FakeService svc;
    svc.Script(0, 0, "reply text");
    svc.Script(0, 0, "reply text");
    const char *sfx = svc.suffix().c_str();
    TaskCase empty(kL1Size, 0), cmd(kL1Size, 0);
    cmd.Text(kL1CommandLine, "run.exe");
    int32_t value = 0, status = 0;
    char msg[16];
    std::memset(msg, '#', sizeof msg);
    const std::string untouched(16, '#');
    EXPECT_EQ(VexSrv_StartTask(0, ".", sfx, L1(empty), &value, &status, msg, 0), 0);
    EXPECT_EQ(std::string(msg, 16), untouched);
    EXPECT_EQ(VexSrv_StartTask(0, ".", sfx, L1(cmd), &value, &status, msg, 0), 1);
    EXPECT_EQ(VexSrv_UpdateTaskList(".", sfx, L1(cmd), &value, &status, msg, -5), 1);
    EXPECT_EQ(std::string(msg, 16), untouched);
    EXPECT_EQ(VexSrv_StartTask(0, ".", UniqueSuffix("_absent").c_str(), L1(cmd), &value, &status, msg, 0), 0);
    EXPECT_EQ(VexSrv_AddTaskToList(".", UniqueSuffix("_absent").c_str(), L1(cmd), -1, &value, &status, msg, 0), 0);
    EXPECT_EQ(std::string(msg, 16), untouched);
    EXPECT_EQ(status, 2);
}

TEST(TaskMessages, TheBufferIsClearedOnEntryAndAReplyTextIsBounded) {
    FakeService svc;
    svc.Script(0, 0, "");
    svc.Script(0, 0, "a long reply text");
    TaskCase cmd(kL1Size, 0);
    cmd.Text(kL1CommandLine, "run.exe");
    int32_t value = 0, status = 0;
    char msg[8] = "before";
    EXPECT_EQ(VexSrv_RemoveTaskFromList(".", svc.suffix().c_str(), L1(cmd), &value, &status, msg, sizeof msg), 1);
    EXPECT_STREQ(msg, "");
    EXPECT_EQ(VexSrv_RemoveTaskFromList(".", svc.suffix().c_str(), L1(cmd), &value, &status, msg, sizeof msg), 1);
    EXPECT_EQ(std::string(msg, 8), "a long r");
}

} // namespace
} // namespace vex::test
