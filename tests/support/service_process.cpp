#include "tests/support/service_process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "vexsrvapi.h"

namespace vex::test {
namespace {

using Clock = std::chrono::steady_clock;

std::string NewStateDir(const std::string &stem) {
    std::string templ = (std::filesystem::temp_directory_path() / (stem + "-XXXXXX")).string();
    if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("cannot create a state folder for the service");
    return templ;
}

} // namespace

ServiceProcess::ServiceProcess(const std::string &program, const std::string &stem,
                               const std::vector<std::string> &extra) {
    static std::atomic<int> counter{0};
    suffix_ = stem + std::to_string(getpid()) + "_" + std::to_string(counter++);
    dir_ = NewStateDir("taskd-" + stem);
    Start(program, extra);
}

ServiceProcess::ServiceProcess(const std::string &program, const ServiceProcess &earlier,
                               const std::vector<std::string> &extra)
    : suffix_(earlier.suffix_), dir_(earlier.dir_), owns_dir_(false) {
    Start(program, extra);
}

void ServiceProcess::Start(const std::string &program, const std::vector<std::string> &extra) {
    std::vector<std::string> args = {program, "--suffix", suffix_, "--state-dir", dir_ + "/state"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string log = dir_ + "/service.log";
    const int flags = O_WRONLY | O_CREAT | (owns_dir_ ? O_TRUNC : O_APPEND);

    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("cannot start the service");
    if (pid_ == 0) {
        // In the child only async-signal-safe calls until exec.
        const int fd = open(log.c_str(), flags, 0600);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        const int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd >= 0) dup2(null_fd, 0);
        execv(argv[0], argv.data());
        _exit(127);
    }
}

ServiceProcess::~ServiceProcess() {
    if (pid_ > 0) Stop(5.0);
    if (!owns_dir_) return;
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

int ServiceProcess::Reap(bool wait) {
    if (pid_ <= 0) return exit_status_;
    int st = 0;
    pid_t r;
    do {
        r = waitpid(pid_, &st, wait ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == pid_) {
        exit_status_ = WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
        pid_ = -1;
    }
    return exit_status_;
}

bool ServiceProcess::WaitReady(double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < deadline) {
        Reap(false);
        if (pid_ <= 0) return false;
        std::int32_t value = 0, status = 0;
        char msg[256] = {};
        // Any answer shows the pipe is served; the connection message (a
        // missing pipe) means not yet.
        VexSrv_CheckRunningList(".", suffix_.c_str(), &value, &status, msg, sizeof msg);
        if (std::string_view(msg).rfind("Cannot connect to service", 0) != 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int ServiceProcess::Stop(double seconds) {
    if (pid_ <= 0) return exit_status_;
    kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < deadline) {
        if (Reap(false), pid_ <= 0) return exit_status_;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Kill();
    return exit_status_;
}

void ServiceProcess::Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    Reap(true);
}

std::string ServiceProcess::Log() const {
    std::ifstream in(dir_ + "/service.log");
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace vex::test
