// Process launch and the running-list check, through the built library
// against the fake service.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "tests/support/fake_service.h"
#include "tests/support/system_text.h"
#include "tests/support/task_wire.h"
#include "tests/support/wire.h"
#include "vexsrvapi.h"

namespace vex::test {
namespace {

// The fields a launch sends (record offset, wide request offset), shared by
// layouts 3 to 5, and some it must leave alone.
constexpr Slot kTaskName{"task_name", 0, 16, 32, 0x40};
constexpr Slot kCommandLine{"command_line", 96, 112, 1024, 0x1};
constexpr Slot kTextA{"text_a", 1120, 1136, 1024, 0x20};
constexpr Slot kTextB{"text_b", 2144, 2160, 128, 0x2};
constexpr Slot kTextE{"text_e", 2528, 2544, 1024, 0x10};
constexpr Slot kTextF{"text_f", 3552, 3568, 32, 0x400};
constexpr Slot kPosition{"position", 3584, 3600, 4, 0x80};
constexpr Slot kNumberA{"number_a", 3588, 3604, 4, 0x800};
constexpr Slot kAffinity{"affinity", 3600, 3616, 4, 0x20000};
constexpr Slot kPriority{"priority", 3604, 3620, 4, 0x40000};
constexpr std::size_t kSuffixAt = 48;
constexpr std::size_t kLayout5Size = 3612;

int32_t Start3(const char *sfx, const TaskCase &c, int32_t *v, int32_t *st, char *m, int32_t l) {
    return VexSrv_StartProcess(".", sfx, static_cast<const TaskDefinition3 *>(c.record()), v, st, m, l);
}
int32_t Start4(const char *sfx, const TaskCase &c, int32_t *v, int32_t *st, char *m, int32_t l) {
    return VexSrv_StartProcessWithAffinity(".", sfx, static_cast<const TaskDefinition4 *>(c.record()), v, st, m, l);
}
int32_t Start5(const char *sfx, const TaskCase &c, int32_t *v, int32_t *st, char *m, int32_t l) {
    return VexSrv_StartProcessWithAffinityPriority(".", sfx, static_cast<const TaskDefinition5 *>(c.record()), v, st, m,
                                                   l);
}

// A layout-5 record with every field a launch does not read set, so that
// any of them reaching the request shows.
TaskCase Launch(std::uint32_t code) {
    TaskCase c(kLayout5Size, code);
    c.RecordText(kTaskName, "NOT-SENT").RecordText(kTextB, "not sent").RecordText(kTextF, "not sent");
    c.RecordInt(kPosition, -1).RecordInt(kNumberA, 99);
    return c;
}

TEST(StartProcess, CommandLineOnlyGives0x101PlusAffinityAndPriorityBits) {
    FakeService svc;
    const std::string &sfx = svc.suffix();
    int32_t value = 0, status = 0;
    TaskCase p41 = Launch(41), p44 = Launch(44), p47 = Launch(47);
    for (TaskCase *c : {&p41, &p44, &p47})
        c->Text(kCommandLine, "notepad.exe").Suffix(kSuffixAt, sfx);
    p41.RecordInt(kAffinity, 3).Flags32(0x101);                     // the affinity is not read
    p44.Int(kAffinity, 0).RecordInt(kPriority, 4).Flags32(0x20101); // zero still travels
    p47.Int(kAffinity, 0).Int(kPriority, 0).Flags32(0x60101);
    EXPECT_EQ(Start3(sfx.c_str(), p41, &value, &status, nullptr, 0), 1);
    EXPECT_EQ(Start4(sfx.c_str(), p44, &value, &status, nullptr, 0), 1);
    EXPECT_EQ(Start5(sfx.c_str(), p47, &value, &status, nullptr, 0), 1);
    const auto reqs = svc.Requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_BYTES_EQ(p41.expected(), reqs[0]);
    EXPECT_BYTES_EQ(p44.expected(), reqs[1]);
    EXPECT_BYTES_EQ(p47.expected(), reqs[2]);
}

// text_a and text_e set, short and then filling their 1024 bytes up to the
// last one, with a 63-character suffix.
TEST(StartProcess, TextsAAndEGive0x131And0x20131And0x60131) {
    for (const bool full : {false, true}) {
        FakeService svc(full ? SuffixOfLength(63) : UniqueSuffix());
        const std::string &sfx = svc.suffix();
        int32_t value = 0, status = 0;
        TaskCase p41 = Launch(41), p44 = Launch(44), p47 = Launch(47);
        for (TaskCase *c : {&p41, &p44, &p47}) {
            c->Text(kCommandLine, full ? Filler(1023, 'c') : "cmd.exe /c run")
                .Text(kTextA, full ? Filler(1023, 'a') : "C:\\work")
                .Text(kTextE, full ? Filler(1023, 'e') : "PATH=C:\\bin")
                .Suffix(kSuffixAt, sfx);
        }
        p41.Flags32(0x131);
        p44.Int(kAffinity, 0x0F).Flags32(0x20131);
        p47.Int(kAffinity, -1).Int(kPriority, 0x80).Flags32(0x60131);
        EXPECT_EQ(Start3(sfx.c_str(), p41, &value, &status, nullptr, 0), 1);
        EXPECT_EQ(Start4(sfx.c_str(), p44, &value, &status, nullptr, 0), 1);
        EXPECT_EQ(Start5(sfx.c_str(), p47, &value, &status, nullptr, 0), 1);
        const auto reqs = svc.Requests();
        ASSERT_EQ(reqs.size(), 3u);
        EXPECT_BYTES_EQ(p41.expected(), reqs[0]) << "full " << full;
        EXPECT_BYTES_EQ(p44.expected(), reqs[1]) << "full " << full;
        EXPECT_BYTES_EQ(p47.expected(), reqs[2]) << "full " << full;
    }
}

TEST(StartProcess, EmptySuffixStillSetsItsBit) {
    // The empty suffix names one pipe for the whole machine; another program
    // may hold it.
    std::unique_ptr<FakeService> svc;
    try {
        svc = std::make_unique<FakeService>("");
    } catch (const std::exception &e) {
        GTEST_SKIP() << "the pipe of the empty suffix is taken: " << e.what();
    }
    TaskCase p41 = Launch(41);
    p41.Text(kCommandLine, "run.exe").Flags32(0x101);
    int32_t value = 0, status = 0;
    EXPECT_EQ(Start3("", p41, &value, &status, nullptr, 0), 1);
    bool seen = false;
    for (const Bytes &r : svc->Requests()) {
        if (LE32(r, 4) != 41) continue;
        seen = true;
        EXPECT_BYTES_EQ(p41.expected(), r);
    }
    EXPECT_TRUE(seen);
}

TEST(StartProcess, RefusalsSendNothing) {
    FakeService svc(SuffixOfLength(64));
    const std::string long_sfx = svc.suffix();
    const std::string sfx = long_sfx.substr(0, 10);
    auto start = [&](auto fn, const TaskCase &c, const std::string &s) {
        return [&, fn](int32_t *v, int32_t *st, char *m, int32_t l) { return fn(s.c_str(), c, v, st, m, l); };
    };
    TaskCase empty = Launch(0);
    empty.RecordText(kTextA, "set").RecordInt(kAffinity, 1);
    TaskCase bad_a = Launch(0);
    bad_a.Unterminated(kTextA);
    TaskCase bad_e = Launch(0);
    bad_e.Text(kCommandLine, "run.exe").Unterminated(kTextE);
    TaskCase good = Launch(0);
    good.Text(kCommandLine, "run.exe");
    for (auto fn : {Start3, Start4, Start5}) {
        ExpectRefused(svc, "command_line should be defined", start(fn, empty, sfx));
        ExpectRefused(svc, "command_line should be defined", start(fn, bad_a, long_sfx));
        ExpectRefused(svc, "text_e is not terminated within its 1024 bytes", start(fn, bad_e, long_sfx));
        ExpectRefused(svc, "service suffix is too long (at most 63 characters)", start(fn, good, long_sfx));
    }
    const char *kNoRecord = "task record should be defined";
    ExpectRefused(svc, kNoRecord, [&](int32_t *v, int32_t *st, char *m, int32_t l) {
        return VexSrv_StartProcess(".", sfx.c_str(), nullptr, v, st, m, l);
    });
    ExpectRefused(svc, kNoRecord, [&](int32_t *v, int32_t *st, char *m, int32_t l) {
        return VexSrv_StartProcessWithAffinity(".", sfx.c_str(), nullptr, v, st, m, l);
    });
    ExpectRefused(svc, kNoRecord, [&](int32_t *v, int32_t *st, char *m, int32_t l) {
        return VexSrv_StartProcessWithAffinityPriority(".", sfx.c_str(), nullptr, v, st, m, l);
    });
    // Fields a launch does not read are not examined either.
    TaskCase odd = Launch(41);
    odd.Unterminated(kTaskName).Unterminated(kTextB).Text(kCommandLine, "run.exe");
    FakeService ok;
    odd.Suffix(kSuffixAt, ok.suffix()).Flags32(0x101);
    int32_t value = 0, status = 0;
    EXPECT_EQ(Start3(ok.suffix().c_str(), odd, &value, &status, nullptr, 0), 1);
    ASSERT_EQ(ok.RequestCount(), 1u);
    EXPECT_BYTES_EQ(odd.expected(), ok.Requests()[0]);
}

TEST(StartProcess, MissingPipeGivesStatus2AndTheSystemText) {
    TaskCase c = Launch(0);
    c.Text(kCommandLine, "run.exe");
    for (auto fn : {Start3, Start4, Start5}) {
        int32_t value = 21, status = 0;
        char msg[300];
        std::memset(msg, '#', sizeof msg);
        EXPECT_EQ(fn(UniqueSuffix("_absent").c_str(), c, &value, &status, msg, sizeof msg), 0);
        EXPECT_EQ(status, 2);
        EXPECT_EQ(value, 21);
        EXPECT_EQ(std::string(msg), SystemText(2));
    }
}

TEST(StartProcess, ReplyTextArrivesWhateverTheValueAndOtherFailuresGiveTheirText) {
    FakeService svc;
    const char *sfx = svc.suffix().c_str();
    TaskCase c = Launch(0);
    c.Text(kCommandLine, "run.exe");
    for (int i = 0; i < 3; ++i)
        svc.Script(0, 0, "started " + std::to_string(i));
    svc.Script(6, 2, "no such program");
    svc.ScriptHangUp();
    int32_t value = 9, status = 9;
    char msg[64];
    EXPECT_EQ(Start3(sfx, c, &value, &status, msg, sizeof msg), 1);
    EXPECT_STREQ(msg, "started 0");
    EXPECT_EQ(Start4(sfx, c, &value, &status, msg, sizeof msg), 1);
    EXPECT_STREQ(msg, "started 1");
    EXPECT_EQ(Start5(sfx, c, &value, &status, msg, sizeof msg), 1);
    EXPECT_STREQ(msg, "started 2");
    EXPECT_EQ(value, 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Start5(sfx, c, &value, &status, msg, sizeof msg), 0);
    EXPECT_EQ(status, 6);
    EXPECT_EQ(value, 2);
    EXPECT_STREQ(msg, "no such program");
    value = 77;
    EXPECT_EQ(Start3(sfx, c, &value, &status, msg, sizeof msg), 0);
    EXPECT_NE(status, 0);
    EXPECT_EQ(value, 77);
    EXPECT_EQ(std::string(msg), SystemText(static_cast<std::uint32_t>(status)));
}

TEST(CheckRunningList, SendsCode36AloneAndHandsBackTheReply) {
    FakeService svc;
    svc.Script(0, 0, "checked");
    svc.Script(3, 1, "");
    int32_t value = 5, status = 5;
    char msg[32];
    EXPECT_EQ(VexSrv_CheckRunningList(".", svc.suffix().c_str(), &value, &status, msg, sizeof msg), 1);
    EXPECT_EQ(value, 0);
    EXPECT_STREQ(msg, "checked");
    EXPECT_EQ(VexSrv_CheckRunningList(".", svc.suffix().c_str(), &value, &status, msg, sizeof msg), 0);
    EXPECT_EQ(status, 3);
    EXPECT_EQ(value, 1);
    EXPECT_STREQ(msg, "");
    const auto reqs = svc.Requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_BYTES_EQ(Request(36), reqs[0]);
    EXPECT_BYTES_EQ(Request(36), reqs[1]);
}

TEST(CheckRunningList, MissingPipeGivesTheConnectionMessage) {
    const std::string absent = UniqueSuffix("_absent");
    int32_t value = 4, status = 0;
    char msg[300];
    EXPECT_EQ(VexSrv_CheckRunningList(".", absent.c_str(), &value, &status, msg, sizeof msg), 0);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(value, 4);
    EXPECT_EQ(std::string(msg), "Cannot connect to service 'Kestrane Tidewell Task Service" + absent +
                                    "' on node '.'\nPlease make sure the service is running.");
}

} // namespace
} // namespace vex::test
