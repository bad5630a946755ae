// The service as a real Windows service: registered with --install-service,
// started, queried and stopped through the service control manager, serving
// requests meanwhile, and deleted with --remove-service. The same program
// runs in a console in every other test. All in one process, so that under
// Wine one session holds the whole life.
#if defined(_WIN32)
#include <windows.h>

#include <chrono>
#include <thread>

#include "tests/service/e2e_fixture.h"
#include "tests/support/child_process.h"

namespace taskd::test {
namespace {

vex::test::RunOutput Taskd(std::vector<std::string> args) {
    args.insert(args.begin(), ProgramDir() + "\\tidewell-taskd.exe");
    return vex::test::RunProgram(args, 60);
}

// Polls the service until it reaches state (bounded); its last status.
SERVICE_STATUS WaitFor(SC_HANDLE svc, DWORD state) {
    SERVICE_STATUS st{};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (QueryServiceStatus(svc, &st) && st.dwCurrentState != state && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return st;
}

TEST(WindowsService, InstalledStartedServingStoppedAndRemovedThroughTheServiceControlManager) {
    const std::string suffix = "_svc" + std::to_string(OwnPid());
    const std::string name = "tidewell-taskd" + suffix;
    const std::string dir = NewTempDir("winsvc");
    const std::vector<std::string> options = {"--suffix", suffix, "--state-dir", dir, "--no-browse",
                                              "--db-version-text", "as a service"};
    std::vector<std::string> install = {"--install-service"};
    install.insert(install.end(), options.begin(), options.end());
    auto run = Taskd(install);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find("installed the service " + name), std::string::npos) << run.out;
    run = Taskd(install);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("the service " + name + " is already installed"), std::string::npos) << run.err;
    // Options are checked at install time, not at the first start.
    run = Taskd({"--install-service", "--suffix", suffix + "x", "--workers", "0"});
    EXPECT_EQ(run.exit_code, 2);

    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(scm, nullptr);
    SC_HANDLE svc = OpenServiceA(scm, name.c_str(), SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
    ASSERT_NE(svc, nullptr) << GetLastError();
    ASSERT_TRUE(StartServiceA(svc, 0, nullptr)) << GetLastError();
    SERVICE_STATUS st = WaitFor(svc, SERVICE_RUNNING);
    EXPECT_EQ(st.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(st.dwControlsAccepted & SERVICE_ACCEPT_STOP);

    // Running means serving: the registered options are in force.
    std::int32_t status = -1, a = 0, b = 0, c = 0;
    char text[64] = {}, message[300] = {};
    EXPECT_EQ(VexSrv_GetDBVersion(".", suffix.c_str(), &status, &a, &b, &c, text, sizeof text, message,
                                  sizeof message),
              1)
        << message;
    EXPECT_STREQ(text, "as a service");

    ASSERT_TRUE(ControlService(svc, SERVICE_CONTROL_STOP, &st)) << GetLastError();
    st = WaitFor(svc, SERVICE_STOPPED);
    EXPECT_EQ(st.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(st.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
    CloseServiceHandle(svc);

    run = Taskd({"--remove-service", "--suffix", suffix});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(OpenServiceA(scm, name.c_str(), SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    run = Taskd({"--remove-service", "--suffix", suffix});
    EXPECT_EQ(run.exit_code, 1);
    CloseServiceHandle(scm);
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace taskd::test
#endif
