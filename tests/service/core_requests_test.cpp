// The request core: the envelope (sizes, codes, modifiers, who may call),
// the database state machine and the exclusive lock, without a pipe.
#include "tests/service/core_fixture.h"

#include <future>
#include <thread>

#if !defined(_WIN32)
#include <unistd.h>

#include <cstdio>

#include "service/log.h"
#include "service/server.h"
#endif

namespace taskd::test {
namespace {

TEST_F(ServiceCore, ReplySizeFollowsTheOperationAndUnknownCodesGetTheShortOne) {
    for (std::uint32_t code : {1u, 4u, 6u, 9u, 10u, 15u, 18u, 19u, 36u})
        EXPECT_EQ(Send(code).bytes.size(), 536u) << code;
    for (std::uint32_t code : {12u, 13u, 16u, 22u, 23u, 27u, 28u, 33u})
        EXPECT_EQ(Send(code).bytes.size(), 8024u) << code;
    const Answer unknown = Send(14);
    EXPECT_EQ(unknown.bytes.size(), 536u);
    EXPECT_EQ(unknown.status(), 1);
    EXPECT_EQ(unknown.value(), 1);
    EXPECT_EQ(unknown.text(), "Request code 0x0000000E is not known to this service.");
}

TEST_F(ServiceCore, WrongSizeAndStrayModifiersAreRefusedWithAText) {
    Bytes shorter = Request(19);
    shorter.resize(8000);
    Answer a = Send(shorter);
    EXPECT_EQ(a.bytes.size(), 536u);
    EXPECT_EQ(a.status(), 24);
    EXPECT_EQ(a.text(), "The request has 8000 bytes; a request record has 8024.");

    Bytes longer = Request(12);
    longer.resize(9000);
    a = Send(longer);
    EXPECT_EQ(a.bytes.size(), 8024u); // the size its caller offers
    EXPECT_EQ(a.status(), 24);

    EXPECT_EQ(Send(Bytes{1, 2, 3}).status(), 24);
    EXPECT_EQ(Send(Bytes{}).status(), 24);

    a = Send(0x00020013); // operation 19 with a modifier
    EXPECT_EQ(a.status(), 1);
    EXPECT_EQ(a.text(), "Request code 0x00020013 is not known to this service: operation 19 takes no such modifier.");
    EXPECT_EQ(Send(0x00020001).status(), 1); // start: only the cluster modifier
}

TEST_F(ServiceCore, OnlyAllowedUsersMayCall) {
    access_.check_users = true;
    access_.allowed_users = {1000, 0};
    Caller stranger;
    stranger.known = stranger.user_known = true;
    stranger.user_id = 4242;
    Answer a = Send(Request(1), stranger);
    EXPECT_EQ(a.status(), 5);
    EXPECT_EQ(a.text(), "Access is denied.");
    EXPECT_EQ(svc_->database_state(), DatabaseState::Stopped);

    Caller owner = stranger;
    owner.user_id = 1000;
    EXPECT_EQ(Send(Request(1), owner).status(), 0);
    Caller root = stranger;
    root.user_id = 0;
    EXPECT_EQ(Send(Request(19), root).value(), 1);
}

TEST_F(ServiceCore, DatabaseStartsAndStopsAndReportsItsState) {
    EXPECT_EQ(Send(19).value(), 0);
    EXPECT_EQ(Send(9).value(), 0);
    Answer a = Send(0x00010001); // cluster form
    EXPECT_EQ(a.status(), 0);
    EXPECT_EQ(a.value(), 1);
    EXPECT_EQ(Send(19).value(), 1);
    EXPECT_EQ(Send(19).text(), "The database is running.");
    EXPECT_EQ(Send(1).text(), "The database is already running.");
    EXPECT_EQ(Send(6).value(), 0); // no registered task runs

    a = Send(4);
    EXPECT_EQ(a.status(), 0);
    EXPECT_EQ(a.value(), 0);
    EXPECT_EQ(Send(19).value(), 0);
    EXPECT_EQ(Send(4).text(), "The database is not running.");
}

#if !defined(_WIN32)
// The log text LogRequest writes for the summary at the level, stderr caught.
std::string LoggedAt(log::Level level, const RequestSummary &summary, bool sent = true) {
    const std::string path = NewTempDir("reqlog") + "/stderr";
    std::fflush(stderr);
    const int saved = ::dup(2);
    std::FILE *f = std::fopen(path.c_str(), "w");
    ::dup2(::fileno(f), 2);
    log::SetLevel(level);
    Caller caller;
    caller.known = true;
    caller.process_id = 42;
    LogRequest(summary, caller, std::chrono::steady_clock::now(), sent);
    log::SetLevel(log::Level::Info);
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    std::fclose(f);
    return ReadFile(path);
}

// A successful read-only request is routine: its line is written at debug
// level only. Edits, refusals and replies the caller left before are
// written at info level.
TEST_F(ServiceCore, SuccessfulReadOnlyRequestsAreLoggedOnlyAtDebugLevel) {
    RequestSummary status, add, refused;
    std::vector<std::uint8_t> reply(3, 0xEE);
    HandleRequest(*svc_, access_, Request(19).data(), vex::kRequestSize, {}, reply, &status);
    EXPECT_EQ(reply, HandleRequest(*svc_, access_, Request(19).data(), vex::kRequestSize, {}));
    EXPECT_TRUE(status.read_only);
    HandleRequest(*svc_, access_, Request(30).data(), vex::kRequestSize, {}, reply, &add);
    EXPECT_FALSE(add.read_only);
    HandleRequest(*svc_, access_, Request(0x00070013).data(), vex::kRequestSize, {}, reply, &refused);
    EXPECT_TRUE(refused.read_only);
    EXPECT_NE(refused.status, 0);

    EXPECT_EQ(LoggedAt(log::Level::Info, status), "");
    EXPECT_NE(LoggedAt(log::Level::Info, status, false).find("(get status) from process 42"), std::string::npos);
    EXPECT_NE(LoggedAt(log::Level::Debug, status).find("(get status) from process 42: status 0"), std::string::npos);
    EXPECT_NE(LoggedAt(log::Level::Info, add).find("request 0x0000001E"), std::string::npos);
    EXPECT_NE(LoggedAt(log::Level::Info, refused).find("status 1,"), std::string::npos);
}
#endif

// The event loop carries out only what cannot wait: refusals, and the
// read-only looks at the state in memory while the mutex is free. The
// children checks may write the state (reaping), edits may wait: those stay
// with the workers, and nothing of theirs is done here.
TEST_F(ServiceCore, OnlyQuickRequestsAreCarriedOutWhereNothingMayWait) {
    std::vector<std::uint8_t> reply;
    const auto quick = [&](const Bytes &request) {
        reply.assign(3, 0xEE);
        return HandleRequestIfQuick(*svc_, access_, request.data(), request.size(), {}, reply);
    };
    for (std::uint32_t code : {9u, 12u, 13u, 16u, 19u, 22u, 23u, 27u}) {
        EXPECT_TRUE(quick(Request(code))) << code;
        EXPECT_EQ(reply, Send(code).bytes) << code;
    }
    for (std::uint32_t code : {1u, 6u, 26u, 30u, 36u}) {
        EXPECT_FALSE(quick(Request(code))) << code;
        EXPECT_EQ(reply, Bytes(3, 0xEE)) << code;
    }
    EXPECT_FALSE(quick(StopTaskRequest("none")));

    // While another request holds the service, the loop does not wait for
    // it; refusals need no state and are answered all the same.
    std::promise<void> taken, done;
    std::thread holder([&] {
        std::lock_guard<std::mutex> held(svc_->mutex());
        taken.set_value();
        done.get_future().wait();
    });
    taken.get_future().wait();
    EXPECT_FALSE(quick(Request(19)));
    EXPECT_EQ(reply, Bytes(3, 0xEE));
    Bytes shorter = Request(19);
    shorter.pop_back();
    EXPECT_TRUE(quick(shorter));
    EXPECT_EQ(Answer{reply}.status(), status::kBadLength);
    EXPECT_TRUE(quick(Request(14)));
    EXPECT_EQ(Answer{reply}.status(), status::kInvalidFunction);
    done.set_value();
    holder.join();
}

TEST_F(ServiceCore, SetStatusStartsOrStopsAndRefusesOtherValues) {
    Bytes set = Request(26);
    PutLE32(set, 12, 1);
    Answer a = Send(set);
    EXPECT_EQ(a.status(), 0);
    EXPECT_EQ(a.value(), 1);
    PutLE32(set, 12, 7);
    a = Send(set);
    EXPECT_EQ(a.status(), 87);
    EXPECT_EQ(a.text(), "Status 7 cannot be set: 1 starts the database, 0 stops it.");
    PutLE32(set, 12, 0);
    EXPECT_EQ(Send(set).value(), 0);
}

TEST_F(ServiceCore, UnmapIsRefusedWhileTheDatabaseRuns) {
    Send(1);
    Answer a = Send(18);
    EXPECT_EQ(a.status(), 170);
    EXPECT_EQ(a.text(), "The database is running; stop it before unmapping its programs.");
    Send(4);
    EXPECT_EQ(Send(18).status(), 0);
}

TEST_F(ServiceCore, SubsystemsStopByNameWithAndWithoutWaiting) {
    Bytes stop = Request(7);
    PutStr(stop, 12, "ALARMS");
    EXPECT_EQ(Send(stop).text(), "Subsystem 'ALARMS' is not running.");
    Send(1);
    EXPECT_EQ(Send(stop).text(), "Subsystem 'ALARMS' stopped.");
    Bytes wait = Request(17);
    PutStr(wait, 12, "HISTORY");
    EXPECT_EQ(Send(wait).text(), "Subsystem 'HISTORY' stopped.");
    Bytes unknown = Request(7);
    PutStr(unknown, 12, "NOPE");
    const Answer a = Send(unknown);
    EXPECT_EQ(a.status(), 1168);
    EXPECT_EQ(a.text(), "Subsystem 'NOPE' is not known to this service.");
}

TEST_F(ServiceCore, SubsystemNameWithoutTerminatorIsRefused) {
    Bytes stop = Request(7);
    for (std::size_t i = 12; i < stop.size(); ++i) stop[i] = 'A';
    const Answer a = Send(stop);
    EXPECT_EQ(a.status(), 13);
    EXPECT_EQ(a.text(), "The request's subsystem name is not terminated within its 8012 bytes.");
}

TEST_F(ServiceCore, LockHandsOutATokenAndGuardsRequestsThatCarryAKey) {
    const Answer taken = Send(10);
    ASSERT_EQ(taken.status(), 0);
    const auto token = static_cast<std::int32_t>(taken.Word(8));
    EXPECT_NE(token, 0);
    EXPECT_NE(token, -1);
    EXPECT_EQ(taken.value(), 300); // the lease in seconds

    const Answer again = Send(10);
    EXPECT_EQ(again.status(), 33);
    EXPECT_EQ(static_cast<std::int32_t>(again.Word(8)), -1);
    EXPECT_EQ(again.text(), "The exclusive lock is held by another caller.");

    // A foreign key, or none, is refused; the token gets through.
    Answer a = Send(1, token + 1);
    EXPECT_EQ(a.status(), 33);
    EXPECT_EQ(a.text(),
              "The database is locked: another caller holds the exclusive lock, and this request does not carry "
              "its token.");
    EXPECT_EQ(Send(1, 0).status(), 33);
    EXPECT_EQ(svc_->database_state(), DatabaseState::Stopped);
    EXPECT_EQ(Send(1, token).status(), 0);
    EXPECT_EQ(Send(13, token + 1).status(), 33);
    // Setting the status has no key to show: refused while locked.
    Bytes set = Request(26);
    EXPECT_EQ(Send(set).status(), 33);
    // Requests without a key go on.
    EXPECT_EQ(Send(19).status(), 0);

    a = Send(11, token + 1);
    EXPECT_EQ(a.status(), 33);
    EXPECT_EQ(a.text(), "The lock token does not match; the exclusive lock stays with its holder.");
    EXPECT_EQ(Send(11, token).status(), 0);
    a = Send(11, token);
    EXPECT_EQ(a.status(), 158);
    EXPECT_EQ(a.text(), "The exclusive lock is not held.");
    EXPECT_EQ(Send(4, 12345).status(), 0); // free again: any key goes

    const Answer next = Send(10);
    EXPECT_NE(static_cast<std::int32_t>(next.Word(8)), token); // a fresh token
}

TEST_F(ServiceCore, PermissionsAndVersionComeFromTheConfiguration) {
    Close();
    config_.permissions = {0x12345678u, 0x9ABCDEF0u};
    config_.db_version = {4, 5, 6};
    config_.db_version_text = "Tidewell 4.5.6";
    Open();
    Answer a = Send(22);
    EXPECT_EQ(a.value(), 0);
    EXPECT_EQ(a.Word(24), 0x12345678u);
    EXPECT_EQ(a.Word(28), 0x9ABCDEF0u);
    a = Send(23);
    EXPECT_EQ(a.value(), 0);
    EXPECT_EQ(a.Word(24), 4u);
    EXPECT_EQ(a.Word(28), 5u);
    EXPECT_EQ(a.Word(32), 6u);
    EXPECT_EQ(a.TextAt(36), "Tidewell 4.5.6");
}

TEST(ExclusiveLockLease, LapsesOnlyAfterTheLeaseWithoutItsToken) {
    std::uint32_t next = 0;
    const std::uint32_t draws[] = {0, 0xFFFFFFFFu, 77, 77, 78};
    ExclusiveLock lock(std::chrono::seconds(10), [&] { return draws[next++]; });
    const auto t0 = ExclusiveLock::Clock::time_point{} + std::chrono::hours(1);
    // 0 and -1 are never tokens.
    ASSERT_EQ(lock.Take(t0, "first"), 77);
    EXPECT_TRUE(lock.Admit(77, t0 + std::chrono::seconds(9))); // renews
    EXPECT_FALSE(lock.Admit(5, t0 + std::chrono::seconds(18)));
    EXPECT_FALSE(lock.Lapse(t0 + std::chrono::seconds(18)).has_value());
    const auto lapsed = lock.Lapse(t0 + std::chrono::seconds(19));
    ASSERT_TRUE(lapsed.has_value());
    EXPECT_EQ(*lapsed, "first");
    EXPECT_TRUE(lock.Admit(5, t0 + std::chrono::seconds(19)));
    // The same token never comes twice in a row.
    EXPECT_EQ(lock.Take(t0 + std::chrono::seconds(20), "second"), 78);
    EXPECT_EQ(lock.GiveBack(77, t0 + std::chrono::seconds(21)), ExclusiveLock::Give::WrongToken);
}

} // namespace
} // namespace taskd::test
