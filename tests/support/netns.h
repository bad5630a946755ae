// Hosts of the tests' own for the reachability probe, so that nothing a test
// resolves or probes ever leaves this machine.
//
// SilentHost: a network namespace joined to this one by a veth pair, with
// addresses of its own in 169.254.213.0/24 (one /30 block per host), whose
// kernel ignores echo requests. Linux only, as root; the Windows build takes
// such an address from VEXSRV_SILENT_HOST when one is made for it.
//
// RunInPrivateNetwork: runs a function on a thread of its own network and
// mount namespaces, with loopback up and "/etc/resolv.conf" and "/etc/hosts"
// replaced for that thread alone.
#pragma once

#include <cstdlib>
#include <functional>
#include <string>

#if !defined(_WIN32)
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>
#endif

namespace vex::test {

#if !defined(_WIN32)

class SilentHost {
  public:
    SilentHost() { Build(); }
    ~SilentHost() { TearDown(); }
    SilentHost(const SilentHost &) = delete;
    SilentHost &operator=(const SilentHost &) = delete;

    bool ok() const { return ok_; }
    // Why there is no host, when there is none.
    const std::string &why() const { return why_; }
    // The address inside the namespace, which never answers an echo.
    const std::string &address() const { return address_; }

  private:
    static constexpr int kBlocks = 64;

    static int Run(const std::string &command) { return std::system((command + " >/dev/null 2>&1").c_str()); }
    static std::string Output(const std::string &command) {
        std::string out;
        if (FILE *p = ::popen((command + " 2>/dev/null").c_str(), "r")) {
            char buf[256];
            while (std::fgets(buf, sizeof buf, p) != nullptr)
                out += buf;
            ::pclose(p);
        }
        return out;
    }
    static bool Exists(const std::string &netns) { return ::access(("/var/run/netns/" + netns).c_str(), F_OK) == 0; }

    // Claims a block by creating its namespace; another run holding a block
    // keeps it, and the next one is tried.
    bool Claim() {
        for (int block = 0; block < kBlocks; ++block) {
            const std::string name = "vexsrv-probe-" + std::to_string(block);
            if (Exists(name)) continue;
            if (Run("ip netns add " + name) == 0) {
                netns_ = name;
                block_ = block;
                return true;
            }
            if (!Exists(name)) {
                why_ = "network namespaces cannot be created here (ip netns add failed)";
                return false;
            }
        }
        why_ = "every namespace block of 169.254.213.0/24 is taken";
        return false;
    }

    void Build() {
        if (::geteuid() != 0) {
            why_ = "network namespaces need root";
            return;
        }
        if (Run("ip netns list") != 0) {
            why_ = "the ip tool cannot handle network namespaces";
            return;
        }
        if (!Claim()) return;
        host_link_ = "vxp" + std::to_string(block_) + "h";
        const std::string ns_link = "vxp" + std::to_string(block_) + "n";
        const std::string local = "169.254.213." + std::to_string(4 * block_ + 1);
        address_ = "169.254.213." + std::to_string(4 * block_ + 2);
        const std::string in_ns = "ip netns exec " + netns_ + " ";
        Run("ip link del " + host_link_); // left by an earlier run of this block
        const bool built = Run("ip link add " + host_link_ + " type veth peer name " + ns_link) == 0 &&
                           Run("ip link set " + ns_link + " netns " + netns_) == 0 &&
                           Run("ip addr add " + local + "/30 dev " + host_link_) == 0 &&
                           Run("ip link set " + host_link_ + " up") == 0 &&
                           Run(in_ns + "ip addr add " + address_ + "/30 dev " + ns_link) == 0 &&
                           Run(in_ns + "ip link set " + ns_link + " up") == 0 &&
                           Run(in_ns + "sysctl -qw net.ipv4.icmp_echo_ignore_all=1") == 0;
        if (!built) {
            why_ = "the namespace host could not be set up";
            return;
        }
        // Probe only a host that is reached over this veth.
        if (Output("ip route get " + address_).find(" dev " + host_link_ + " ") == std::string::npos) {
            why_ = "the route to " + address_ + " does not go over " + host_link_;
            return;
        }
        ok_ = true;
    }

    void TearDown() {
        if (netns_.empty()) return;
        Run("ip netns del " + netns_); // takes the veth pair with it
        Run("ip link del " + host_link_);
    }

    bool ok_ = false;
    std::string why_;
    std::string netns_;
    int block_ = 0;
    std::string host_link_;
    std::string address_;
};

// What the private thread sees as its system files.
inline constexpr const char *kPrivateResolvConf = "nameserver 127.0.0.1\n";
inline constexpr const char *kPrivateHosts = "127.0.0.1 localhost\nfd00::213 vexsrv-ipv6-only\n";

// Runs fn on a thread of its own network and mount namespaces: only loopback,
// up; the resolver asks 127.0.0.1; the hosts file holds localhost and one
// name with only an IPv6 address, "vexsrv-ipv6-only". Returns an empty text,
// or why the thread could not be set up (fn then does not run).
inline std::string RunInPrivateNetwork(const std::function<void()> &fn) {
    std::string why;
    std::thread thread([&] {
        if (::geteuid() != 0) {
            why = "private namespaces need root";
            return;
        }
        if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
            why = std::string("unshare: ") + std::strerror(errno);
            return;
        }
        // Mounts of this thread stay its own.
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            why = std::string("private mounts: ") + std::strerror(errno);
            return;
        }
        auto replace = [&why](const char *target, const char *text) {
            char path[] = "/tmp/vexsrv-private-XXXXXX";
            const int fd = ::mkstemp(path);
            if (fd < 0) return false;
            const bool written = ::write(fd, text, std::strlen(text)) == static_cast<ssize_t>(std::strlen(text));
            ::close(fd);
            const bool mounted = written && ::mount(path, target, nullptr, MS_BIND, nullptr) == 0;
            ::unlink(path);
            if (!mounted) why = std::string("cannot replace ") + target;
            return mounted;
        };
        if (!replace("/etc/resolv.conf", kPrivateResolvConf) || !replace("/etc/hosts", kPrivateHosts)) return;
        const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq ifr{};
        std::strcpy(ifr.ifr_name, "lo");
        bool up = false;
        if (s >= 0 && ::ioctl(s, SIOCGIFFLAGS, &ifr) == 0) {
            ifr.ifr_flags |= IFF_UP;
            up = ::ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
        }
        if (s >= 0) ::close(s);
        if (!up) {
            why = "cannot bring loopback up";
            return;
        }
        fn();
    });
    thread.join();
    return why;
}

// Writes a network setting of the calling thread's namespace, such as
// "net/ipv4/icmp_echo_ignore_all".
inline bool WriteSetting(const std::string &name, const std::string &value) {
    const int fd = ::open(("/proc/sys/" + name).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::write(fd, value.data(), value.size()) == static_cast<ssize_t>(value.size());
    ::close(fd);
    return ok;
}

#else

// Under Wine no namespace can be made from the test; a host made outside
// (see the Linux SilentHost) can be named in VEXSRV_SILENT_HOST.
class SilentHost {
  public:
    SilentHost() {
        if (const char *a = std::getenv("VEXSRV_SILENT_HOST"); a != nullptr && a[0] != 0) address_ = a;
    }
    bool ok() const { return !address_.empty(); }
    const std::string &why() const { return why_; }
    const std::string &address() const { return address_; }

  private:
    std::string address_;
    std::string why_ = "no namespace host in the Windows build (VEXSRV_SILENT_HOST names one made outside)";
};

#endif

} // namespace vex::test
