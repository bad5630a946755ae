// What the service keeps in its state folder: the state file, group
// configurations, the audit trail and the snapshot list.
#include "service/group_files.h"
#include "service/os.h"
#include "service/state.h"
#include "tests/service/core_fixture.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

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

std::string Opened(const std::string &dir) {
    StateStore store(dir);
    PersistentState state;
    return store.Open(&state);
}

std::string ManyTasks(int n, std::size_t name_chars) {
    std::string text = "{\"format\": 1, \"tasks\": [";
    for (int i = 0; i < n; ++i) {
        std::string name(1, 't');
        name += std::to_string(i);
        name.resize(std::max(name.size(), name_chars), 'x');
        if (i > 0) text += ',';
        text += "{\"task_name\": \"";
        text += name;
        text += "\", \"command_line\": \"p\"}";
    }
    return text + "]}";
}

TEST_F(ServiceCore, AStateBeyondTheServicesLimitsIsRefusedAtStart) {
    Close();
    WriteFile(StateFile(dir_), ManyTasks(300, 0));
    EXPECT_NE(Opened(dir_).find("is damaged: it registers 300 tasks, more than the 255 the service keeps"),
              std::string::npos)
        << Opened(dir_);
    WriteFile(StateFile(dir_), ManyTasks(1, 300));
    EXPECT_NE(Opened(dir_).find("has 300 characters, more than the 254 the service keeps"), std::string::npos)
        << Opened(dir_);
    // 255 names of 40 characters do not fit one reply's 8000 bytes.
    WriteFile(StateFile(dir_), ManyTasks(255, 40));
    EXPECT_NE(Opened(dir_).find("its task names would not fit one list reply"), std::string::npos);
    // At the limits it loads, and every rank fits its byte.
    WriteFile(StateFile(dir_), ManyTasks(255, 0));
    Open();
    const std::vector<Item> items = ListItems(Send(12));
    ASSERT_EQ(items.size(), 255u);
    EXPECT_EQ(items.back().order, 255);
}

#if !defined(_WIN32)
TEST_F(ServiceCore, PlantedLinksAndFifosReachNothingOutsideAndFreezeNothing) {
    const std::string outside = NewTempDir("outside");
    const std::string victim = outside + "/victim";
    WriteFile(victim, "{\"format\": 1, \"tasks\": [{\"task_name\": \"planted\", \"command_line\": \"p\"}]}");
    const std::string original = ReadFile(victim);
    const auto in = [&](const std::string &name) { return (std::filesystem::path(dir_) / name).string(); };
    std::filesystem::create_directories(in("groups"));
    std::filesystem::create_symlink(victim, in("taskd-state.json.tmp"));
    std::filesystem::create_symlink(victim, in("groups/plant.tmp"));
    std::filesystem::create_symlink(victim, in("groups/linked"));
    ASSERT_EQ(::mkfifo(in("groups/fifo").c_str(), 0600), 0);

    ASSERT_EQ(Send(Layout2(30, "alpha", "prog")).status(), 0);
    ASSERT_EQ(Send(GroupRequest(34, "plant")).status(), 0);
    EXPECT_EQ(ReadFile(victim), original);
    EXPECT_TRUE(std::filesystem::is_symlink(in("taskd-state.json.tmp")));
    Answer a = Send(GroupRequest(35, "linked"));
    EXPECT_EQ(a.status(), 13);
    EXPECT_NE(a.text().find("it is a symbolic link, which the service does not follow"), std::string::npos)
        << a.text();
    a = Send(GroupRequest(35, "fifo")); // answered at once
    EXPECT_EQ(a.status(), 13);
    EXPECT_NE(a.text().find("it is not a regular file"), std::string::npos) << a.text();
    // A group saved over a planted link replaces the link, not its target.
    EXPECT_EQ(Send(GroupRequest(34, "linked")).status(), 0);
    EXPECT_EQ(ReadFile(victim), original);
    EXPECT_FALSE(std::filesystem::is_symlink(in("groups/linked")));
    ASSERT_EQ(svc_->state().tasks.size(), 1u);

    // The groups folder itself a link to another folder.
    std::filesystem::remove_all(in("groups"));
    std::filesystem::create_directory_symlink(outside, in("groups"));
    EXPECT_EQ(Send(GroupRequest(34, "x")).status(), 29);
    EXPECT_EQ(Send(GroupRequest(35, "victim")).status(), 13);
    EXPECT_FALSE(std::filesystem::exists(outside + "/x"));

    // A state file that is a link, or a FIFO, stops the start.
    Close();
    std::filesystem::remove(StateFile(dir_));
    std::filesystem::create_symlink(victim, StateFile(dir_));
    EXPECT_NE(Opened(dir_).find("is not a regular file"), std::string::npos) << Opened(dir_);
    std::filesystem::remove(StateFile(dir_));
    ASSERT_EQ(::mkfifo(StateFile(dir_).c_str(), 0600), 0);
    EXPECT_NE(Opened(dir_).find("is not a regular file"), std::string::npos) << Opened(dir_);
    std::filesystem::remove(StateFile(dir_));
    EXPECT_EQ(ReadFile(victim), original);
    std::filesystem::remove_all(outside);
    Open();
}

TEST_F(ServiceCore, AStateFolderOrFileOthersMayChangeIsRefusedWithTheFix) {
    Close();
    ::chmod(dir_.c_str(), 0770);
    EXPECT_EQ(Opened(dir_), "the state folder " + dir_ + " is writable by its group or by others; take that away "
                                                        "(chmod go-w " + dir_ + ")");
    ::chmod(dir_.c_str(), 0700);
    WriteFile(StateFile(dir_), "{\"format\": 1}");
    ::chmod(StateFile(dir_).c_str(), 0622);
    EXPECT_NE(Opened(dir_).find("chmod go-w " + StateFile(dir_)), std::string::npos);
    ::chmod(StateFile(dir_).c_str(), 0600);
    EXPECT_EQ(Opened(dir_), "");

    // A folder it creates is private.
    const std::string fresh = dir_ + "/fresh";
    std::string why;
    ASSERT_NE(os::Folder::Open(fresh, true, &why), nullptr) << why;
    struct stat st {};
    ::stat(fresh.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the files to another user";
    ASSERT_EQ(::chown(StateFile(dir_).c_str(), 65534, 65534), 0);
    EXPECT_NE(Opened(dir_).find("is owned by user"), std::string::npos);
    EXPECT_NE(Opened(dir_).find("(chown 0 " + StateFile(dir_) + ")"), std::string::npos) << Opened(dir_);
    ASSERT_EQ(::chown(StateFile(dir_).c_str(), 0, 0), 0);
    ASSERT_EQ(::chown(dir_.c_str(), 65534, 65534), 0);
    EXPECT_NE(Opened(dir_).find("the state folder " + dir_ + " is owned by user"), std::string::npos)
        << Opened(dir_);
    ASSERT_EQ(::chown(dir_.c_str(), 0, 0), 0);
    Open();
}

TEST_F(ServiceCore, FullLogFilesKeepOneOlderCopy) {
    std::string why;
    auto folder = os::Folder::Open(dir_ + "/logs", true, &why);
    ASSERT_NE(folder, nullptr) << why;
    const int fd = folder->OpenAppend("task-a.log", &why);
    ASSERT_GE(fd, 0) << why;
    const std::string block(3000, 'x');
    ASSERT_EQ(::write(fd, block.data(), block.size()), 3000);
    folder->CapLogs(4096); // below the cap: left alone
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/logs/task-a.log.1"));
    ASSERT_EQ(::write(fd, "yz", 2), 2);
    ASSERT_EQ(::write(fd, block.data(), block.size()), 3000);
    folder->CapLogs(4096);
    EXPECT_EQ(std::filesystem::file_size(dir_ + "/logs/task-a.log.1"), 4096u); // the newest part
    EXPECT_EQ(ReadFile(dir_ + "/logs/task-a.log.1").substr(4096 - 3002, 2), "yz");
    // The writer goes on at the start of the emptied file.
    ASSERT_EQ(::write(fd, "next", 4), 4);
    EXPECT_EQ(ReadFile(dir_ + "/logs/task-a.log"), "next");
    os::CloseDescriptor(fd);
}
#endif

} // namespace
} // namespace taskd::test
