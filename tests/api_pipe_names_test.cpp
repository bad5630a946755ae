// Which pipe a caller reaches: every suffix the pipe name holds, names that
// differ only in case (code page 1252), and, on Linux, only a server run by a
// user the caller trusts.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "tests/support/fake_service.h"
#include "tests/support/system_text.h"
#include "vexsrvapi.h"

namespace vex::test {
namespace {

struct Outcome {
    std::int32_t result = -1;
    std::int32_t value = -1;
    std::int32_t status = -1;
    char message[300] = {};
};

Outcome GetStatus(const std::string &suffix) {
    Outcome o;
    o.result = VexSrv_GetTidewellStatus(".", suffix.c_str(), &o.value, &o.status, o.message, sizeof o.message);
    return o;
}

// A unique suffix padded with 'x' to length characters.
std::string LongSuffix(std::size_t length) {
    std::string s = UniqueSuffix("L");
    s.resize(length, 'x');
    return s;
}

// The connection message as a caller sees it, cut to the 255 characters of
// its buffer.
std::string ConnectionMessage(const std::string &suffix) {
    std::string text = "Cannot connect to service 'Kestrane Tidewell Task Service" + suffix +
                       "' on node '.'\nPlease make sure the service is running.";
    return text.substr(0, 255);
}

// 78 is the longest suffix whose Linux socket name holds it whole.
TEST(PipeNames, EverySuffixLengthReachesItsServiceAndOnlyIt) {
#if defined(_WIN32)
    const std::size_t lengths[] = {78, 79, 232};
#else
    // Node "." and the suffix fill the 488 characters of a pipe name.
    const std::size_t lengths[] = {78, 79, 232, 487};
#endif
    for (std::size_t length : lengths) {
        SCOPED_TRACE(length);
        const std::string suffix = LongSuffix(length);
        FakeService svc(suffix);
        svc.Script(0, 42, "");
        const Outcome o = GetStatus(suffix);
        EXPECT_EQ(o.result, 1) << o.message;
        EXPECT_EQ(o.value, 42);
        ASSERT_EQ(svc.RequestCount(), 1u);
        // A name that differs in its last character only is another pipe.
        std::string other = suffix;
        other.back() = 'y';
        const Outcome missing = GetStatus(other);
        EXPECT_EQ(missing.result, 0);
        EXPECT_EQ(missing.status, 2);
        EXPECT_EQ(missing.message, ConnectionMessage(other));
        EXPECT_EQ(svc.RequestCount(), 1u);
    }
}

// Pipe names ignore case as Windows folds code page 1252: the letters of the
// upper half too, but not the signs between them.
TEST(PipeNames, NamesThatDifferInCaseOnlyReachTheSamePipe) {
    const std::string stem = UniqueSuffix("fold");
    for (std::size_t length : {std::size_t{0}, std::size_t{200}}) {
        SCOPED_TRACE(length);
        std::string served = stem + "_\xE0\xE9\xFE\x9A\x9C\x9E\xFF";
        std::string called = stem + "_\xC0\xC9\xDE\x8A\x8C\x8E\x9F";
        for (char &c : called) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        served.resize(length > served.size() ? length : served.size(), 'q');
        called.resize(length > called.size() ? length : called.size(), 'Q');
        FakeService svc(served);
        EXPECT_EQ(GetStatus(called).result, 1);
        EXPECT_EQ(svc.RequestCount(), 1u);
    }
    // × and ÷, µ and its capital outside the code page, ß and ÿ: no pairs.
    for (const auto &[served, called] :
         {std::pair<const char *, const char *>{"\xF7", "\xD7"}, {"\xB5", "M"}, {"\xFF", "Y"}}) {
        FakeService svc(stem + "_no" + served);
        const Outcome o = GetStatus(stem + "_no" + called);
        EXPECT_EQ(o.status, 2) << static_cast<int>(static_cast<unsigned char>(*served));
        EXPECT_EQ(svc.RequestCount(), 0u);
    }
}

} // namespace
} // namespace vex::test

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/pipe_server.h"

namespace vex::test {
namespace {

constexpr uid_t kOtherUser = 65534;

// A server under another user: a child that takes the service's pipe name as
// kOtherUser, accepts that many callers and tells on exit how many requests
// came (each answered with value 77); 100 and more when it could not serve.
class Squatter {
  public:
    Squatter(const std::string &suffix, int connections) {
        int ready[2];
        if (::pipe(ready) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            if (::setresgid(kOtherUser, kOtherUser, kOtherUser) != 0 ||
                ::setresuid(kOtherUser, kOtherUser, kOtherUser) != 0)
                _exit(100);
            std::uint32_t error = 0;
            auto server = platform::ServePipe("ZEPTAR_" + suffix + "_TSK_REQ", &error, 10);
            if (!server) _exit(101);
            if (::write(ready[1], "r", 1) != 1) _exit(102);
            int requests = 0;
            for (int i = 0; i < connections; ++i) {
                auto conn = server->Accept();
                if (!conn) _exit(103);
                std::vector<std::uint8_t> request;
                bool truncated = false;
                if (!conn->ReadMessage(request, 65536, &truncated)) continue;
                ++requests;
                const std::vector<std::uint8_t> reply = MakeReply(0, 77, "");
                conn->WriteMessage(reply.data(), reply.size());
            }
            _exit(requests);
        }
        ::close(ready[1]);
        char byte = 0;
        ready_ = pid_ > 0 && ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
    }
    ~Squatter() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            Wait();
        }
    }
    bool ready() const { return ready_; }
    int Wait() {
        int st = 0;
        ::waitpid(pid_, &st, 0);
        reaped_ = true;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }

  private:
    pid_t pid_ = -1;
    bool ready_ = false;
    bool reaped_ = false;
};

TEST(ServerUser, AServerOfAnotherUserGetsNoRequestAndTheCallIsDenied) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to serve a pipe as another user";
    // Once per process the library reads who else it may trust.
    ASSERT_EQ(std::getenv("VEXSRV_TRUSTED_SERVER_USER"), nullptr);
    const std::string suffix = UniqueSuffix("squat");
    Squatter squatter(suffix, 2);
    ASSERT_TRUE(squatter.ready());
    Outcome o = GetStatus(suffix);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.status, 5);
    EXPECT_STREQ(o.message, "Access is denied.");
    // Without result channels, the same code and text.
    std::int32_t status = -1;
    char message[64] = {};
    TaskDefinition1 task{};
    std::strcpy(task.task_name, "LOADER");
    std::strcpy(task.command_line, "loader");
    std::int32_t value = -1;
    EXPECT_EQ(VexSrv_StartTask(0, ".", suffix.c_str(), &task, &value, &status, message, sizeof message), 0);
    EXPECT_EQ(status, 5);
    EXPECT_STREQ(message, "Access is denied.");
    EXPECT_EQ(squatter.Wait(), 0) << "the server of another user received a request";
}

// Run in a fresh process only, by the test below: the variable is read once
// per process.
TEST(ServerUser, DISABLED_CallOfAFreshProcess) {
    const char *suffix = std::getenv("VEXSRV_TEST_SUFFIX");
    ASSERT_NE(suffix, nullptr);
    const Outcome o = GetStatus(suffix);
    EXPECT_EQ(o.result, 1) << o.status << " " << o.message;
    EXPECT_EQ(o.value, 77);
}

TEST(ServerUser, TheUserTheEnvironmentNamesIsTrusted) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to serve a pipe as another user";
    // By number and by name (uid 65534 is "nobody" on Debian).
    for (const char *user : {"65534", "nobody"}) {
        SCOPED_TRACE(user);
        const std::string suffix = UniqueSuffix("trusted");
        Squatter server(suffix, 1);
        ASSERT_TRUE(server.ready());
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setenv("VEXSRV_TRUSTED_SERVER_USER", user, 1);
            ::setenv("VEXSRV_TEST_SUFFIX", suffix.c_str(), 1);
            const char *argv[] = {"/proc/self/exe", "--gtest_also_run_disabled_tests",
                                  "--gtest_filter=ServerUser.DISABLED_CallOfAFreshProcess", nullptr};
            ::execv(argv[0], const_cast<char *const *>(argv));
            _exit(127);
        }
        int st = 0;
        ASSERT_EQ(::waitpid(pid, &st, 0), pid);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "the call of the fresh process failed";
        EXPECT_EQ(server.Wait(), 1);
    }
}

} // namespace
} // namespace vex::test
#endif
