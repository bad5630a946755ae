// A bed of network hosts on this machine, for tests and benchmarks that talk
// between nodes. Each host is a network, UTS and mount namespace of its own:
// host name "nodeN", addresses 198.18.0.N/24 and fd18::N/64 on eth0, a veth
// to a bridge in a hub namespace, and its own /etc/hosts (every host's names,
// plus "ghost" at 198.18.0.250 where no host answers, and "nodeN-v6" with the
// IPv6 address only) and /etc/resolv.conf (127.0.0.1, so that no name
// question leaves the bed). Nothing is made in this machine's own namespace,
// so beds of parallel runs never meet. UDP broadcasts to 198.18.0.255 reach
// every host.
//
// Linux only, as root. The bed must be made and destroyed by one thread that
// outlives it (its hosts end with that thread); a killed run leaves nothing.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace vex::test {

class TestBed {
  public:
    explicit TestBed(int hosts = 3);
    ~TestBed();
    TestBed(const TestBed &) = delete;
    TestBed &operator=(const TestBed &) = delete;

    bool ok() const { return ok_; }
    // Why there is no bed, when there is none: the reason a test skips.
    const std::string &why() const { return why_; }
    int size() const { return static_cast<int>(hosts_.size()); }

    // Host i, counted from 1.
    static std::string Name(int i) { return "node" + std::to_string(i); }
    static std::string Address(int i) { return "198.18.0." + std::to_string(i); }
    static std::string Address6(int i) { return "fd18::" + std::to_string(i); }
    // A name that resolves to an address where no host answers.
    static constexpr const char *kGhostName = "ghost";
    static constexpr const char *kGhostAddress = "198.18.0.250";

    // Runs fn on a new thread inside host i (its network, host name and
    // files) and waits for it. Threads that fn starts are inside too.
    // Returns an empty text, or why the thread could not enter (fn then does
    // not run).
    std::string RunIn(int i, const std::function<void()> &fn) const;

    // Starts argv (argv[0] a path) in host i with the extra environment
    // entries ("NAME=value"), stdout and stderr to output_path. Returns the
    // process id, or -1. The bed kills what is still running when it goes.
    pid_t Spawn(int i, const std::vector<std::string> &argv, const std::vector<std::string> &env,
                const std::string &output_path);
    // Runs a shell command in host i and returns its exit status (-1 when it
    // did not run).
    int Shell(int i, const std::string &command) const;

    // The process that holds host i's namespaces (for nsenter -t PID).
    pid_t HolderPid(int i) const { return hosts_.at(static_cast<std::size_t>(i - 1)).pid; }

  private:
    struct Host {
        pid_t pid = -1;
        int net = -1, uts = -1, mnt = -1;
    };
    pid_t MakeHolder(bool host, const std::string &name);
    bool Setup(int hosts);
    void TearDown();

    bool ok_ = false;
    std::string why_;
    std::string dir_;
    pid_t hub_ = -1;
    std::vector<Host> hosts_;
    std::vector<pid_t> spawned_;
};

} // namespace vex::test
