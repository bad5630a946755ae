// Database control end to end: start and stop, subsystems, status, the
// exclusive lock, version and permissions, audit trail, group
// configurations and snapshots.
#include <atomic>
#include <cstring>
#include <thread>

#include "tests/service/e2e_fixture.h"

namespace taskd::test {
namespace {

TEST_F(Service, DatabaseStartsStopsAndReportsItsStatus) {
    Result r;
    r.ok = VexSrv_GetTidewellStatus(".", sfx(), &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 1);
    EXPECT_EQ(r.value, 0);
    EXPECT_EQ(r.text(), "The database is stopped.");

    r.ok = VexSrv_StartTidewell(0, ".", sfx(), &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 1) << r.text();
    EXPECT_EQ(r.value, 1);
    EXPECT_EQ(r.text(), "The database is running; 0 task(s) started.");

    std::int32_t first = -1, second = -1;
    r.ok = VexSrv_CheckTidewell(".", sfx(), &first, &second, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 1);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);

    r.ok = VexSrv_StopTidewellFromCluster(0, ".", sfx(), &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 1);
    EXPECT_EQ(r.value, 0);
    r.ok = VexSrv_StartTidewellFromCluster(0, ".", sfx(), &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.value, 1);

    r.ok = VexSrv_UnmapTidewellPrograms(0, ".", sfx(), &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.status, 170);
    EXPECT_EQ(r.text(), "The database is running; stop it before unmapping its programs.");

    r.value = 0; // the status to set
    r.ok = VexSrv_SetTidewellStatus(".", sfx(), &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 1) << r.text();
    EXPECT_EQ(r.value, 0);
    r.ok = VexSrv_StopTidewell(0, ".", sfx(), &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.text(), "The database is not running.");
    r.ok = VexSrv_UnmapTidewellPrograms(0, ".", sfx(), &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 1);
    r.ok = VexSrv_StopExternalTasks(0, ".", sfx(), &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 1);
    EXPECT_EQ(r.value, 0);
}

TEST_F(Service, SubsystemsListAndStop) {
    Result r;
    CStringArray *list = nullptr;
    r.ok = VexSrv_GetSubSysList(0, ".", sfx(), &r.value, &r.status, &list, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 1);
    EXPECT_EQ(Items(list), (std::vector<std::string>{"ALARMS", "HISTORY"}));

    VexSrv_StartTidewell(0, ".", sfx(), &r.value, &r.status, r.message, sizeof r.message);
    r.ok = VexSrv_StopSubsystem(0, ".", sfx(), "ALARMS", &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 1);
    EXPECT_EQ(r.text(), "Subsystem 'ALARMS' stopped.");
    r.ok = VexSrv_StopSubsystemAndWait(0, ".", sfx(), "HISTORY", 1, &r.value, &r.status, r.message,
                                       sizeof r.message);
    EXPECT_EQ(r.ok, 1);
    r.ok = VexSrv_StopSubsystemAndWait(0, ".", sfx(), "NOPE", 0, &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.status, 1168);
    EXPECT_EQ(r.text(), "Subsystem 'NOPE' is not known to this service.");
}

TEST_F(Service, LockRefusesAForeignKeyUntilGivenBack) {
    Result r;
    std::int32_t token = 0;
    r.ok = VexSrv_GetExclLock(".", sfx(), &token, &r.value, &r.status, r.message, sizeof r.message);
    ASSERT_EQ(r.ok, 1) << r.text();
    EXPECT_NE(token, -1);
    EXPECT_EQ(r.value, 300);

    std::int32_t second = 0;
    r.ok = VexSrv_GetExclLock(".", sfx(), &second, &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(second, -1);
    EXPECT_EQ(r.status, 33);

    const std::int32_t foreign = token ^ 0x5A5A;
    r.ok = VexSrv_StartTidewell(foreign, ".", sfx(), &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.status, 33);
    EXPECT_EQ(r.text(), "The database is locked: another caller holds the exclusive lock, and this request does "
                        "not carry its token.");
    r.ok = VexSrv_GiveExclLock(foreign, ".", sfx(), &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.status, 33);

    r.ok = VexSrv_StartTidewell(token, ".", sfx(), &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 1);
    r.ok = VexSrv_GiveExclLock(token, ".", sfx(), &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 1);
    r.ok = VexSrv_StopTidewell(foreign, ".", sfx(), &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 1); // free again
}

TEST_F(Service, VersionAndPermissionsFromTheOptions) {
    svc_->Stop();
    Start({"--db-version", "7.8.9", "--db-version-text", "Tidewell test", "--permissions", "0x11", "0x22"});
    std::int32_t status = -1, first = 0, second = 0, third = 0;
    char text[64] = {};
    char message[64] = {};
    EXPECT_EQ(VexSrv_GetDBVersion(".", sfx(), &status, &first, &second, &third, text, sizeof text, message,
                                  sizeof message),
              1);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(first, 7);
    EXPECT_EQ(second, 8);
    EXPECT_EQ(third, 9);
    EXPECT_STREQ(text, "Tidewell test");

    Result r;
    std::uint32_t p1 = 0, p2 = 0;
    r.ok = VexSrv_GetDBPermis(".", sfx(), 5, &p1, &p2, &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 1);
    EXPECT_EQ(p1, 0x11u);
    EXPECT_EQ(p2, 0x22u);
}

TEST_F(Service, AuditTrailGroupsAndSnapshotsAreKeptAcrossARestart) {
    Result r;
    r.ok = VexSrv_SetAuditTrailConfiguration(".", sfx(), 4, -5, &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 1) << r.text();

    TaskDefinition2 task{};
    std::strcpy(task.task_name, "grouped");
    std::strcpy(task.command_line, "prog");
    task.position = -1;
    ASSERT_EQ(VexSrv_AddTaskToList2(".", sfx(), &task, &r.value, &r.status, r.message, sizeof r.message), 1);
    r.ok = VexSrv_SaveGroupConfiguration(".", sfx(), "plant.grp", &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 1) << r.text();
    EXPECT_EQ(r.value, 1);

    SnapshotListEntry snap{};
    std::strcpy(snap.name, "nightly");
    snap.option_b = 7;
    r.ok = VexSrv_UpdateSnapshotList(".", sfx(), &snap, &r.value, &r.status, r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 1) << r.text();

    const std::string dir = svc_->state_dir();
    ASSERT_EQ(svc_->Stop(), 0);
    Start({}, dir);

    std::int32_t first = 0, second = 0;
    char field1[32] = {}, field2[32] = {};
    r.ok = VexSrv_GetAuditTrailConfiguration(".", sfx(), &first, &second, field1, field2, &r.value, &r.status,
                                             r.message, sizeof r.message);
    EXPECT_EQ(r.ok, 1);
    EXPECT_EQ(first, 4);
    EXPECT_EQ(second, -5);
    EXPECT_NE(field1[0], 0); // the node that changed it
    EXPECT_NE(field2[0], 0); // and when

    TaskDefinition1 gone{};
    std::strcpy(gone.task_name, "grouped");
    ASSERT_EQ(VexSrv_RemoveTaskFromList(".", sfx(), &gone, &r.value, &r.status, r.message, sizeof r.message), 1);
    r.ok = VexSrv_LoadGroupConfiguration(".", sfx(), "plant.grp", 0, &r.value, &r.status, r.message,
                                         sizeof r.message);
    EXPECT_EQ(r.ok, 1) << r.text();
    EXPECT_EQ(r.value, 1);
    const std::string state = ReadFile((std::filesystem::path(dir) / "taskd-state.json").string());
    EXPECT_NE(state.find("\"grouped\""), std::string::npos);
    EXPECT_NE(state.find("\"nightly\""), std::string::npos);
}

TEST_F(Service, GroupFileOutsideTheStateFolderIsRefused) {
    Result r;
    r.ok = VexSrv_SaveGroupConfiguration(".", sfx(), "../outside.grp", &r.value, &r.status, r.message,
                                         sizeof r.message);
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.status, 123);
    EXPECT_EQ(r.text(), "Group configuration file name refused: it holds a folder separator; give a file name "
                        "inside the state folder");
    r.ok = VexSrv_LoadGroupConfiguration(".", sfx(), "C:\\Windows\\win.ini", 0, &r.value, &r.status, r.message,
                                         sizeof r.message);
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.status, 123);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(svc_->state_dir()).parent_path() / "outside.grp"));
}

TEST_F(Service, ManyClientsAtOnceAreAllServed) {
    constexpr int kClients = 8;
    constexpr int kCalls = 25;
    std::atomic<int> served{0};
    std::vector<std::string> failures(kClients);
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            for (int i = 0; i < kCalls; ++i) {
                Result r;
                r.ok = VexSrv_CheckRunningList(".", sfx(), &r.value, &r.status, r.message, sizeof r.message);
                if (r.ok == 1)
                    served.fetch_add(1);
                else
                    failures[c] = std::to_string(r.status) + ": " + r.text();
            }
        });
    }
    for (std::thread &t : clients) t.join();
    EXPECT_EQ(served.load(), kClients * kCalls);
    for (const std::string &f : failures) EXPECT_EQ(f, "");
}

} // namespace
} // namespace taskd::test
