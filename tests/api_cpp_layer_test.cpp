// The C++ layer (include/vexsrv/): its conversions between named fields,
// vectors and Results and the C operations, through the built library against
// the fake service. Expected requests are built from the record tables'
// literal offsets.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/fake_service.h"
#include "tests/support/netns.h"
#include "tests/support/wire.h"
#include "vexsrv/service.h"

namespace vex::test {
namespace {

using vexsrv::Layout;
using vexsrv::Result;
using vexsrv::Service;
using vexsrv::Source;
using vexsrv::Task;

// A task with every field set to something that shows where it lands.
Task FullTask() {
    return Task{.name = "pump",
                .command_line = "pump --fast",
                .text_a = "A",
                .text_b = "BB",
                .text_c = "CCC",
                .text_d = "DDDD",
                .text_e = "EEEEE",
                .text_f = "FFFFFF",
                .position = -1,
                .number_a = 11,
                .number_b = -22,
                .number_c = 33,
                .affinity = 0x5,
                .priority = -7,
                .byte_a = 0xA1,
                .byte_b = 0xB2,
                .byte_c = 0xC3};
}

// A long reply (8024 bytes) with status, value and data bytes at offset 24.
Bytes LongReply(std::int32_t status, std::int32_t value, const Bytes &data) {
    Bytes r = MakeReply(status, value, "", 8024);
    for (std::size_t i = 0; i < data.size(); ++i)
        r.at(24 + i) = data[i];
    return r;
}

// ---- Results: every path of the result convention ----------------------------

TEST(CppResult, ServiceAnswersBecomeTheResult) {
    FakeService svc;
    Service service(".", svc.suffix());
    svc.Script(0, 42, "started");
    svc.Script(17, -3, "already running");
    svc.Script(0, 5, "");

    const Result<> done = service.StartDatabase();
    EXPECT_TRUE(done.ok);
    EXPECT_EQ(done.source, Source::Service);
    EXPECT_EQ(done.value, 42);
    EXPECT_EQ(done.status, 0);
    EXPECT_EQ(done.message, "started");

    const Result<> refused = service.StartDatabase();
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.source, Source::Service);
    EXPECT_EQ(refused.value, -3);
    EXPECT_EQ(refused.status, 17);
    EXPECT_EQ(refused.message, "already running");

    // A reply with no text leaves no message.
    const Result<> quiet = service.StopDatabase(/*cluster=*/true);
    EXPECT_TRUE(quiet.ok);
    EXPECT_EQ(quiet.message, "");
    EXPECT_BYTES_EQ(Request(0x00010004), svc.Requests().at(2));
}

TEST(CppResult, MissingServiceIsTheSystemsAndLeavesValueZero) {
    const std::string suffix = UniqueSuffix("nobody");
    Service service(".", suffix);
    const std::string connection = "Cannot connect to service 'Kestrane Tidewell Task Service" + suffix +
                                   "' on node '.'\nPlease make sure the service is running.";
    for (const Result<> &r : {service.StartDatabase(), service.GetStatus(), service.SetStatus(9)}) {
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.source, Source::System);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.message, connection);
    }
    EXPECT_EQ(service.StartDatabase().value, 0);
    const auto list = service.GetTaskList();
    EXPECT_EQ(list.source, Source::System);
    EXPECT_TRUE(list.data.empty());
}

TEST(CppResult, LibraryRefusalsSendNothing) {
    FakeService svc;
    Service service(".", svc.suffix());
    Task t = FullTask();
    t.command_line.clear();
    const Result<> r = service.AddTask(t);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.source, Source::Library);
    EXPECT_EQ(r.message, "command_line should be defined");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.value, 0);
    EXPECT_EQ(svc.RequestCount(), 0u);
}

// The status operations set their values before anything else: a failure
// with status 0 is the library's unanswered echo.
TEST(CppResult, SilentNodeIsUnreachable) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs a namespace host of the Linux tests";
#else
    SilentHost host;
    if (!host.ok()) GTEST_SKIP() << "no silent host: " << host.why();
    const Result<> r = Service(host.address(), "x").GetStatus();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.source, Source::Unreachable);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.message, "Host is unreachable");
#endif
}

// A status operation's failed exchange is the system's, whatever the value
// out held before; a refusal, with or without a text, is the service's.
TEST(CppResult, StatusOperationsTellAFailedExchangeFromARefusal) {
    FakeService svc;
    Service service(".", svc.suffix());
    svc.ScriptHangUp();
    svc.ScriptHangUp();
    svc.Script(0, 1, "running"); // the check's first request succeeds...
    svc.ScriptHangUp();          // ...and its second fails
    for (const Result<> &r : {service.GetStatus(), service.SetStatus(1)}) {
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.source, Source::System) << r.message;
        EXPECT_NE(r.status, 0);
        EXPECT_FALSE(r.message.empty());
    }
    const auto check = service.Check();
    EXPECT_FALSE(check.ok);
    EXPECT_EQ(check.source, Source::System) << check.message;

    svc.Script(33, 33, "locked"); // status as value
    svc.Script(87, 0, "");        // no text
    svc.Script(87, 5, "refused"); // the value asked for, echoed with a text: no sign of a reply
    svc.Script(5, 5, "denied");   // the check's first request refused
    svc.Script(0, 2, "exited");
    svc.Script(7, 7, "second refused");
    for (const Result<> &r : {service.GetStatus(), service.GetStatus()}) {
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.source, Source::Service);
    }
    EXPECT_EQ(service.SetStatus(5).source, Source::System);
    const auto first = service.Check();
    EXPECT_EQ(first.source, Source::Service);
    EXPECT_EQ(first.status, 5);
    EXPECT_EQ(first.data.second, 0);
    const auto second = service.Check();
    EXPECT_EQ(second.source, Source::Service);
    EXPECT_EQ(second.data, (vexsrv::CheckValues{2, 7}));
    EXPECT_EQ(second.message, "second refused");
}

// ---- Task records from named fields ----------------------------------------------

TEST(CppTask, LayoutFiveCarriesEveryNamedField) {
    FakeService svc;
    svc.Script(0, 0, "");
    EXPECT_TRUE(Service(".", svc.suffix()).AddTask(FullTask(), Layout::Five).ok);

    Bytes want = Request(45);
    PutLE32(want, 12, 0x7FDFF); // every bit but 0x200
    PutStr(want, 16, "pump");
    PutStr(want, 48, svc.suffix());
    PutStr(want, 112, "pump --fast");
    PutStr(want, 1136, "A");
    PutStr(want, 2160, "BB");
    PutStr(want, 2288, "CCC");
    PutStr(want, 2416, "DDDD");
    PutStr(want, 2544, "EEEEE");
    PutStr(want, 3568, "FFFFFF");
    PutLE32(want, 3600, 0xFFFFFFFF); // position -1
    PutLE32(want, 3604, 11);
    PutLE32(want, 3608, static_cast<std::uint32_t>(-22));
    PutLE32(want, 3612, 33);
    PutLE32(want, 3616, 0x5);
    PutLE32(want, 3620, static_cast<std::uint32_t>(-7));
    want[3624] = 0xA1;
    want[3625] = 0xB2;
    want[3626] = 0xC3;
    ASSERT_EQ(svc.RequestCount(), 1u);
    EXPECT_BYTES_EQ(want, svc.Requests()[0]);
}

TEST(CppTask, LayoutOneCarriesOnlyItsTextsAndThePositionArgument) {
    FakeService svc;
    svc.Script(0, 0, "");
    EXPECT_TRUE(Service(".", svc.suffix()).AddTask(FullTask(), Layout::One).ok);

    Bytes want = Request(0xFFFF0008);
    PutLE16(want, 12, 0x17F);
    PutStr(want, 14, "pump");
    PutStr(want, 46, svc.suffix());
    PutStr(want, 110, "pump --fast");
    PutStr(want, 238, "A");
    PutStr(want, 366, "BB");
    PutStr(want, 494, "CCC");
    PutStr(want, 622, "DDDD");
    PutStr(want, 750, "EEEEE");
    ASSERT_EQ(svc.RequestCount(), 1u);
    EXPECT_BYTES_EQ(want, svc.Requests()[0]);
}

TEST(CppTask, LayoutThreeHasNoAffinityAndProcessLaunchPicksItsOperation) {
    FakeService svc;
    Service service(".", svc.suffix());
    Task t = FullTask();
    t.position = 4;
    EXPECT_TRUE(service.UpdateTask(t, Layout::Three).ok);
    EXPECT_TRUE(service.StartProcess(t, vexsrv::Launch::Plain).ok);
    EXPECT_TRUE(service.StartProcess(t, vexsrv::Launch::Affinity).ok);
    EXPECT_TRUE(service.StartProcess(t, vexsrv::Launch::AffinityPriority).ok);
    const auto reqs = svc.Requests();
    ASSERT_EQ(reqs.size(), 4u);

    // Layout 3: the bytes sit where layout 4 would put the affinity.
    EXPECT_EQ(LE32(reqs[0], 4), 40u);
    EXPECT_EQ(LE32(reqs[0], 3600), 4u);
    EXPECT_EQ(reqs[0][3616], 0xA1);
    EXPECT_EQ(reqs[0][3617], 0xB2);
    EXPECT_EQ(reqs[0][3618], 0xC3);

    for (std::size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(&reqs[i][112])), "pump --fast");
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(&reqs[i][2544])), "EEEEE");
    }
    EXPECT_EQ(LE32(reqs[1], 4), 41u);
    EXPECT_EQ(LE32(reqs[1], 3616), 0u);
    EXPECT_EQ(LE32(reqs[2], 4), 44u);
    EXPECT_EQ(LE32(reqs[2], 3616), 0x5u);
    EXPECT_EQ(LE32(reqs[2], 3620), 0u);
    EXPECT_EQ(LE32(reqs[3], 4), 47u);
    EXPECT_EQ(LE32(reqs[3], 3620), static_cast<std::uint32_t>(-7));
}

TEST(CppTask, ATextFillingItsFieldTravelsAndOneMoreIsRefusedNamingTheField) {
    FakeService svc;
    Service service(".", svc.suffix());
    Task t = FullTask();
    t.name = std::string(31, 'n');
    EXPECT_TRUE(service.AddTask(t, Layout::Two).ok);
    ASSERT_EQ(svc.RequestCount(), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&svc.Requests()[0][16])), t.name);

    t.name += 'n';
    Result<> r = service.AddTask(t, Layout::Two);
    EXPECT_EQ(r.source, Source::Library);
    EXPECT_EQ(r.message, "task_name is too long for its field (at most 31 characters)");

    t = FullTask();
    t.text_b = std::string(128, 'b');
    r = service.UpdateTask(t, Layout::Five);
    EXPECT_EQ(r.message, "text_b is too long for its field (at most 127 characters)");

    t = FullTask();
    t.text_a = std::string("a\0b", 3);
    r = service.RemoveTask(t);
    EXPECT_EQ(r.message, "text_a holds a zero byte");

    r = service.UpdateSnapshot(vexsrv::Snapshot{std::string(1024, 's')});
    EXPECT_EQ(r.message, "snapshot name is too long for its field (at most 1023 characters)");
    EXPECT_EQ(svc.RequestCount(), 1u);
}

// ---- Lists ------------------------------------------------------------------------

TEST(CppLists, ItemsArriveInOrderAndAMessageInsteadOfAListLeavesNone) {
    FakeService svc;
    Service service(".", svc.suffix(), 77);
    // Two items: "beta" starts first.
    const Bytes area = {2, 0, 0, 0, 2, 6, 'a', 'l', 'p', 'h', 'a', 0, 1, 5, 'b', 'e', 't', 'a', 0};
    svc.Script(LongReply(0, 0, area));
    svc.Script(LongReply(0, 0, area));
    svc.Script(LongReply(0, 0, {0, 0, 0, 0}));
    svc.Script(0, 3, "list is being rebuilt", 8024);
    svc.Script(LongReply(0, 0, {1, 0, 0, 0, 1, 4, 'o', 'n', 'e', 0}));

    auto r = service.GetTaskList(vexsrv::Order::List);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.data, (std::vector<std::string>{"alpha", "beta"}));
    r = service.GetTaskList(vexsrv::Order::Startup);
    EXPECT_EQ(r.data, (std::vector<std::string>{"beta", "alpha"}));
    r = service.GetTaskList();
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(r.data.empty());
    r = service.GetTaskList();
    EXPECT_TRUE(r.ok); // the status alone decides
    EXPECT_EQ(r.value, 3);
    EXPECT_TRUE(r.data.empty());
    EXPECT_EQ(r.message, "list is being rebuilt");
    r = service.GetSubsystems();
    EXPECT_EQ(r.data, (std::vector<std::string>{"one"}));

    const auto reqs = svc.Requests();
    ASSERT_EQ(reqs.size(), 5u);
    EXPECT_BYTES_EQ(Request(13, 77), reqs[0]);
    EXPECT_BYTES_EQ(Request(12, 77), reqs[1]);
    EXPECT_BYTES_EQ(Request(16, 77), reqs[4]);
}

TEST(CppLists, StartupOrderIsPackedFromTheVector) {
    FakeService svc;
    EXPECT_TRUE(Service(".", svc.suffix()).SetStartupOrder({"b", "", "a"}).ok);
    Bytes want = Request(32);
    PutLE32(want, 24, 2);
    const std::uint8_t entries[] = {1, 2, 'b', 0, 2, 2, 'a', 0};
    for (std::size_t i = 0; i < sizeof entries; ++i)
        want[28 + i] = entries[i];
    ASSERT_EQ(svc.RequestCount(), 1u);
    EXPECT_BYTES_EQ(want, svc.Requests()[0]);

    const Result<> empty = Service(".", svc.suffix()).SetStartupOrder({});
    EXPECT_EQ(empty.source, Source::Library);
    EXPECT_EQ(empty.message, "Tasks list is empty");
}

// ---- Operations that return data -----------------------------------------------

TEST(CppData, LockVersionPermissionsAndAuditComeFromTheirReplyFields) {
    FakeService svc;
    Service service(".", svc.suffix());
    Bytes lock = MakeReply(0, 0, "");
    PutLE32(lock, 8, 0x1234567);
    svc.Script(lock);
    svc.Script(9, 0, "held by someone else");
    Bytes version = LongReply(0, 0, {});
    PutLE32(version, 24, 8);
    PutLE32(version, 28, 1);
    PutLE32(version, 32, 3);
    PutStr(version, 36, "Tidewell 8.1.3");
    svc.Script(version);
    Bytes permis = LongReply(0, 0, {});
    PutLE32(permis, 24, 0xDEADBEEF);
    PutLE32(permis, 28, 0x0000FFFF);
    svc.Script(permis);
    Bytes audit = LongReply(0, 0, {});
    PutLE32(audit, 24, 1);
    PutLE32(audit, 28, 2);
    for (std::size_t i = 0; i < 32; ++i)
        audit[32 + i] = static_cast<std::uint8_t>('a' + i % 26); // no NUL
    PutStr(audit, 64, "short");
    svc.Script(audit);

    const auto token = service.GetLock();
    EXPECT_TRUE(token.ok);
    EXPECT_EQ(token.data, 0x1234567);
    const auto busy = service.GetLock();
    EXPECT_EQ(busy.source, Source::Service);
    EXPECT_EQ(busy.data, -1);
    EXPECT_EQ(busy.message, "held by someone else");

    const auto v = service.GetVersion();
    EXPECT_TRUE(v.ok);
    EXPECT_EQ(v.data, (vexsrv::Version{8, 1, 3, "Tidewell 8.1.3"}));
    const auto p = service.GetPermissions(6);
    EXPECT_EQ(p.data, (vexsrv::Permissions{0xDEADBEEF, 0x0000FFFF}));
    EXPECT_EQ(LE32(svc.Requests().at(3), 12), 6u);
    const auto a = service.GetAuditTrail();
    EXPECT_EQ(a.data.setting_first, 1);
    EXPECT_EQ(a.data.setting_second, 2);
    EXPECT_EQ(a.data.field_first, "abcdefghijklmnopqrstuvwxyzabcdef");
    EXPECT_EQ(a.data.field_second, "short");
}

TEST(CppData, VersionAndLockOfAMissingServiceAreTheSystems) {
    Service service(".", UniqueSuffix("gone"));
    const auto v = service.GetVersion();
    EXPECT_EQ(v.source, Source::System);
    EXPECT_EQ(v.status, 2);
    EXPECT_EQ(v.data.text, "Target computer is offline.");
    const auto lock = service.GetLock();
    EXPECT_EQ(lock.source, Source::System);
    EXPECT_EQ(lock.data, -1);
}

TEST(CppData, CheckHandsBothValues) {
    FakeService svc;
    svc.Script(0, 4, "");
    svc.Script(0, 6, "both fine");
    const auto r = Service(".", svc.suffix()).Check();
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.data, (vexsrv::CheckValues{4, 6}));
    EXPECT_EQ(r.value, 4);
    EXPECT_EQ(r.message, "both fine");
}

} // namespace
} // namespace vex::test
