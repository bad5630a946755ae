#include "tests/support/testbed.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

namespace vex::test {
namespace {

constexpr int kMaxHosts = 200;

int System(const std::string &command) {
    const int rc = std::system(("(" + command + ") >/dev/null 2>&1").c_str());
    return rc == -1 ? -1 : WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string In(pid_t pid, const std::string &commands) {
    return "nsenter -t " + std::to_string(pid) + " -n sh -ec '" + commands + "'";
}

bool LoopbackUp() {
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    ifreq ifr{};
    std::strcpy(ifr.ifr_name, "lo");
    bool up = false;
    if (::ioctl(s, SIOCGIFFLAGS, &ifr) == 0) {
        ifr.ifr_flags |= IFF_UP;
        up = ::ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    }
    ::close(s);
    return up;
}

void Kill(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

TestBed::TestBed(int hosts) {
    if (!Setup(hosts)) TearDown();
}

TestBed::~TestBed() {
    TearDown();
}

void TestBed::TearDown() {
    for (pid_t pid : spawned_)
        Kill(pid);
    spawned_.clear();
    for (Host &h : hosts_) {
        for (int fd : {h.net, h.uts, h.mnt})
            if (fd >= 0) ::close(fd);
        Kill(h.pid);
        h = Host{};
    }
    Kill(hub_);
    hub_ = -1;
    if (!dir_.empty()) {
        std::remove((dir_ + "/hosts").c_str());
        std::remove((dir_ + "/resolv.conf").c_str());
        ::rmdir(dir_.c_str());
        dir_.clear();
    }
    hosts_.clear();
}

// A process that only holds new namespaces: the hub's network, or a host's
// network, host name and mounts (its /etc files bound over). It dies with the
// thread that made it.
pid_t TestBed::MakeHolder(bool host, const std::string &name) {
    // Everything the child needs is ready before fork: it allocates nothing.
    const std::string hosts = dir_ + "/hosts", resolv = dir_ + "/resolv.conf";
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return -1;
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(1);
        const int flags = CLONE_NEWNET | (host ? CLONE_NEWUTS | CLONE_NEWNS : 0);
        bool ok = ::unshare(flags) == 0;
        if (ok && host)
            ok = ::sethostname(name.c_str(), name.size()) == 0 &&
                 ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                 ::mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0 &&
                 ::mount(resolv.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
        ok = ok && LoopbackUp();
        const char answer = ok ? '1' : '0';
        [[maybe_unused]] const ssize_t n = ::write(ready[1], &answer, 1);
        if (!ok) ::_exit(1);
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
    char answer = '0';
    ssize_t n;
    do {
        n = ::read(ready[0], &answer, 1);
    } while (n < 0 && errno == EINTR);
    ::close(ready[0]);
    if (n != 1 || answer != '1') {
        Kill(pid);
        return -1;
    }
    return pid;
}

bool TestBed::Setup(int hosts) {
    if (hosts < 1 || hosts > kMaxHosts) {
        why_ = "a bed has 1 to " + std::to_string(kMaxHosts) + " hosts";
        return false;
    }
    if (::geteuid() != 0) {
        why_ = "the test bed needs root (network namespaces)";
        return false;
    }
    if (System("command -v nsenter && command -v ip") != 0) {
        why_ = "the test bed needs nsenter (util-linux) and ip (iproute2)";
        return false;
    }
    char dir[] = "/tmp/vexsrv-bed-XXXXXX";
    if (::mkdtemp(dir) == nullptr) {
        why_ = std::string("mkdtemp: ") + std::strerror(errno);
        return false;
    }
    dir_ = dir;
    ::chmod(dir, 0755);
    {
        std::ofstream h(dir_ + "/hosts");
        h << "127.0.0.1 localhost\n::1 localhost ip6-localhost ip6-loopback\n";
        for (int i = 1; i <= hosts; ++i)
            h << Address(i) << ' ' << Name(i) << '\n' << Address6(i) << ' ' << Name(i) << ' ' << Name(i) << "-v6\n";
        h << kGhostAddress << ' ' << kGhostName << '\n';
        std::ofstream r(dir_ + "/resolv.conf");
        r << "nameserver 127.0.0.1\n";
        if (!h || !r) {
            why_ = "cannot write the bed's hosts file in " + dir_;
            return false;
        }
    }
    // "nodeN-v6" must not find the IPv4 address: it is listed after the
    // IPv4 line only with the IPv6 one.
    ::chmod((dir_ + "/hosts").c_str(), 0644);
    ::chmod((dir_ + "/resolv.conf").c_str(), 0644);

    hub_ = MakeHolder(false, "");
    if (hub_ < 0) {
        why_ = "network namespaces cannot be made here (unshare failed)";
        return false;
    }
    if (System(In(hub_, "ip link add br0 type bridge; ip link set br0 up")) != 0) {
        why_ = "no bridge can be made in the hub namespace";
        return false;
    }
    std::string hub_commands;
    for (int i = 1; i <= hosts; ++i) {
        Host h;
        h.pid = MakeHolder(true, Name(i));
        if (h.pid < 0) {
            why_ = "host namespaces cannot be made here (unshare of network, UTS and mounts failed)";
            return false;
        }
        const std::string ns = "/proc/" + std::to_string(h.pid) + "/ns/";
        h.net = ::open((ns + "net").c_str(), O_RDONLY | O_CLOEXEC);
        h.uts = ::open((ns + "uts").c_str(), O_RDONLY | O_CLOEXEC);
        h.mnt = ::open((ns + "mnt").c_str(), O_RDONLY | O_CLOEXEC);
        hosts_.push_back(h);
        if (h.net < 0 || h.uts < 0 || h.mnt < 0) {
            why_ = "cannot open the namespaces of host " + Name(i);
            return false;
        }
        const std::string v = "vh" + std::to_string(i);
        hub_commands += "ip link add " + v + " type veth peer name eth0 netns " + std::to_string(h.pid) +
                        "; ip link set " + v + " master br0; ip link set " + v + " up; ";
    }
    if (System(In(hub_, hub_commands)) != 0) {
        why_ = "the veth links of the hosts cannot be made";
        return false;
    }
    for (int i = 1; i <= hosts; ++i) {
        const std::string commands = "ip addr add " + Address(i) + "/24 broadcast 198.18.0.255 dev eth0; " +
                                     "ip -6 addr add " + Address6(i) + "/64 dev eth0 nodad; ip link set eth0 up";
        if (System(In(hosts_[static_cast<std::size_t>(i - 1)].pid, commands)) != 0) {
            why_ = "the addresses of host " + Name(i) + " cannot be set";
            return false;
        }
    }
    ok_ = true;
    return true;
}

std::string TestBed::RunIn(int i, const std::function<void()> &fn) const {
    if (!ok_ || i < 1 || i > size()) return "no such host in the bed";
    const Host &h = hosts_[static_cast<std::size_t>(i - 1)];
    std::string why;
    std::thread thread([&] {
        // A thread may change its mounts only with a file system view of its own.
        if (::unshare(CLONE_FS) != 0 || ::setns(h.net, CLONE_NEWNET) != 0 || ::setns(h.uts, CLONE_NEWUTS) != 0 ||
            ::setns(h.mnt, CLONE_NEWNS) != 0) {
            why = std::string("cannot enter host ") + Name(i) + ": " + std::strerror(errno);
            return;
        }
        fn();
    });
    thread.join();
    return why;
}

pid_t TestBed::Spawn(int i, const std::vector<std::string> &argv, const std::vector<std::string> &env,
                     const std::string &output_path) {
    if (!ok_ || i < 1 || i > size() || argv.empty()) return -1;
    const Host &h = hosts_[static_cast<std::size_t>(i - 1)];
    std::vector<std::string> environment;
    for (char **e = environ; *e != nullptr; ++e)
        environment.emplace_back(*e);
    environment.insert(environment.end(), env.begin(), env.end());
    std::vector<char *> args, envp;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string &e : environment)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    const int out = ::open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        // unshare(CLONE_FS) first: a runtime such as ThreadSanitizer's may
        // leave the child sharing its file system view, which setns refuses.
        if (::unshare(CLONE_FS) != 0 || ::setns(h.net, CLONE_NEWNET) != 0 || ::setns(h.uts, CLONE_NEWUTS) != 0 || ::setns(h.mnt, CLONE_NEWNS) != 0)
            ::_exit(126);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::setpgid(0, 0);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(out);
    if (pid > 0) spawned_.push_back(pid);
    return pid;
}

int TestBed::Shell(int i, const std::string &command) const {
    if (!ok_ || i < 1 || i > size()) return -1;
    const std::string line = "nsenter -t " + std::to_string(HolderPid(i)) + " -n -u -m sh -c '" + command + "'";
    const int rc = std::system(line.c_str());
    return rc == -1 ? -1 : WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

} // namespace vex::test
