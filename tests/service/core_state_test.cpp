// What the service keeps in its state folder: the state file, group
// configurations, the audit trail and the snapshot list.
#include "service/group_files.h"
#include "service/state.h"
#include "tests/service/core_fixture.h"

namespace taskd::test {
namespace {

std::string StateFile(const std::string &dir) { return (std::filesystem::path(dir) / "taskd-state.json").string(); }

Bytes GroupRequest(std::uint32_t code, const std::string &name, std::int32_t option = 0) {
    Bytes b = Request(code);
    PutLE32(b, 16, static_cast<std::uint32_t>(option));
    PutStr(b, 24, name);
    return b;
}

TEST_F(ServiceCore, EveryAcknowledgedChangeIsInTheFileBeforeTheReply) {
    ASSERT_EQ(Send(Layout2(30, "alpha", "prog")).status(), 0);
    // Read behind the service's back: the file already holds it.
    PersistentState on_disk;
    ASSERT_EQ(StateFromJson(ReadFile(StateFile(dir_)), &on_disk), "");
    ASSERT_EQ(on_disk.tasks.size(), 1u);
    EXPECT_EQ(on_disk.tasks[0].name(), "alpha");
    EXPECT_EQ(on_disk.tasks[0].layout, 2);
    EXPECT_FALSE(std::filesystem::exists(StateFile(dir_) + ".tmp"));
}

TEST_F(ServiceCore, EightBitTextsSurviveTheFile) {
    const std::string name = "t\xE9st\xFF";
    ASSERT_EQ(Send(Layout2(30, name, "prog \x80\x01")).status(), 0);
    Reopen();
    ASSERT_EQ(svc_->state().tasks.size(), 1u);
    EXPECT_EQ(svc_->state().tasks[0].name(), name);
    EXPECT_EQ(svc_->state().tasks[0].Text(Field::CommandLine), "prog \x80\x01");
}

TEST_F(ServiceCore, DamagedStateFileStopsTheStartAndIsLeftAlone) {
    Close();
    const std::string damaged = "{\"format\": 1, \"tasks\": [ {\"task_name\": \"x\", ";
    WriteFile(StateFile(dir_), damaged);
    StateStore store(dir_);
    PersistentState state;
    const std::string why = store.Open(&state);
    EXPECT_NE(why.find("is damaged"), std::string::npos) << why;
    EXPECT_EQ(ReadFile(StateFile(dir_)), damaged);

    WriteFile(StateFile(dir_), "{\"format\": 1, \"tasks\": [{\"task_name\": \"a\"}, {\"task_name\": \"a\"}]}");
    StateStore again(dir_);
    EXPECT_NE(again.Open(&state).find("appears twice"), std::string::npos);
    std::filesystem::remove(StateFile(dir_));
    Open();
}

TEST_F(ServiceCore, AStateFolderServesOneServiceAtATime) {
    StateStore second(dir_);
    PersistentState state;
    EXPECT_NE(second.Open(&state).find("another service already uses the state folder"), std::string::npos);
}

TEST_F(ServiceCore, AuditTrailIsKeptWithWhoChangedIt) {
    Bytes set = Request(28);
    PutLE32(set, 16, 3);
    PutLE32(set, 20, 0xFFFFFFFE);
    const Answer s = Send(set);
    EXPECT_EQ(s.status(), 0);
    EXPECT_EQ(s.value(), 0);
    Reopen();
    const Answer a = Send(27);
    EXPECT_EQ(a.value(), 0);
    EXPECT_EQ(a.Word(24), 3u);
    EXPECT_EQ(a.Word(28), 0xFFFFFFFEu);
    EXPECT_EQ(a.TextAt(32), "NODE1");
    EXPECT_EQ(a.TextAt(64).size(), 20u); // 2024-05-01T10:00:00Z
    EXPECT_EQ(a.bytes[95], 0);
}

TEST_F(ServiceCore, SnapshotEntriesAreAddedOrReplacedByName) {
    Bytes b = Request(48);
    PutStr(b, 16, "nightly");
    b[1040] = 1;
    b[1041] = 2;
    b[1042] = 3;
    EXPECT_EQ(Send(b).value(), 1);
    b[1042] = 9;
    EXPECT_EQ(Send(b).value(), 1);
    Bytes other = Request(48);
    PutStr(other, 16, "weekly");
    EXPECT_EQ(Send(other).value(), 2);
    Reopen();
    ASSERT_EQ(svc_->state().snapshots.size(), 2u);
    EXPECT_EQ(svc_->state().snapshots[0].options, (std::array<std::uint8_t, 3>{1, 2, 9}));

    Bytes unterminated = Request(48);
    for (std::size_t i = 16; i < 1040; ++i) unterminated[i] = 's';
    EXPECT_EQ(Send(unterminated).text(), "The request's snapshot name is not terminated within its 1024 bytes.");
    EXPECT_EQ(Send(Request(48)).text(), "snapshot name should be defined");
}

TEST_F(ServiceCore, GroupConfigurationSavesAndLoadsInsideTheStateFolder) {
    Send(Layout2(30, "alpha", "prog"));
    Send(Layout2(30, "beta", "prog"));
    Answer a = Send(GroupRequest(34, "plant.grp"));
    EXPECT_EQ(a.status(), 0);
    EXPECT_EQ(a.value(), 2);
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(dir_) / "groups" / "plant.grp"));

    Send(Layout1(24, "alpha", ""));
    Send(Layout2(30, "gamma", "prog"));
    EXPECT_EQ(Send(GroupRequest(35, "plant.grp", 1)).value(), 3); // merge
    EXPECT_EQ(Send(GroupRequest(35, "plant.grp", 0)).value(), 2); // replace
    ASSERT_EQ(svc_->state().tasks.size(), 2u);
    EXPECT_EQ(svc_->state().tasks[0].name(), "alpha");

    a = Send(GroupRequest(35, "missing.grp"));
    EXPECT_EQ(a.status(), 2);
    EXPECT_EQ(a.text(), "Group configuration 'missing.grp' does not exist.");
    a = Send(GroupRequest(35, "plant.grp", 2));
    EXPECT_EQ(a.status(), 87);
}

TEST_F(ServiceCore, GroupFileNamesOutsideTheStateFolderAreRefused) {
    const char *outside[] = {"../escape", "..",       "/etc/passwd", "sub/file",  "sub\\file",
                             "C:evil",    "c:\\x",    "\\\\server\\share", "a:b",  "NUL",
                             "con.txt",   "trail.",   "x\x01y",      "..hidden"};
    for (const char *name : outside) {
        const Answer a = Send(GroupRequest(34, name));
        EXPECT_EQ(a.status(), 123) << name;
        EXPECT_EQ(a.text().rfind("Group configuration file name refused: ", 0), 0u) << name << ": " << a.text();
        EXPECT_EQ(Send(GroupRequest(35, name)).status(), 123) << name;
    }
    EXPECT_EQ(Send(GroupRequest(34, "../escape")).text(),
              "Group configuration file name refused: it holds a folder separator; give a file name inside the "
              "state folder");
    EXPECT_EQ(Send(GroupRequest(34, "")).text(), "File name is invalid");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(dir_).parent_path() / "escape"));
    EXPECT_EQ(GroupFileNameProblem("plain-name_1.cfg"), "");
}

} // namespace
} // namespace taskd::test
