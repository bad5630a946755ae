#include "bench/echo_server.h"

#include <unistd.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/socket.h>

#include "platform/posix/local_names.h"
#endif

#include <cstring>
#include <stdexcept>

namespace vex::bench {

#if defined(_WIN32)
BareClient::BareClient(const std::string &suffix, bool) : name_("\\\\.\\pipe\\ZEPTAR_" + suffix + "_TSK_REQ") {}

bool BareClient::Call(const void *request, std::size_t size, void *reply, std::size_t reply_size) const {
    DWORD read = 0;
    return CallNamedPipeA(name_.c_str(), const_cast<void *>(request), static_cast<DWORD>(size), reply,
                          static_cast<DWORD>(reply_size), &read, NMPWAIT_WAIT_FOREVER) != 0;
}
#else
BareClient::BareClient(const std::string &suffix, bool check_server) : check_server_(check_server) {
    // Made once, outside any timed call.
    platform::posix::AbstractAddress("pipe", "ZEPTAR_" + suffix + "_TSK_REQ", &addr_, &len_);
}

bool BareClient::Call(const void *request, std::size_t size, void *reply, std::size_t reply_size) const {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    bool ok = ::connect(fd, reinterpret_cast<const sockaddr *>(&addr_), len_) == 0;
    if (ok && check_server_) {
        ucred cred{};
        socklen_t len = sizeof cred;
        ok = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && (cred.uid == 0 || cred.uid == ::geteuid());
    }
    ok = ok && ::send(fd, request, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size) &&
         ::recv(fd, reply, reply_size, 0) > 0;
    ::close(fd);
    return ok;
}
#endif

std::string BenchSuffix(const char *stem) {
    static std::atomic<int> n{0};
    return std::string(stem) + std::to_string(getpid()) + "_" + std::to_string(n++);
}

EchoServer::EchoServer(const std::string &suffix, int threads) : suffix_(suffix) {
    std::uint32_t error = 0;
    server_ = platform::ServePipe("ZEPTAR_" + suffix + "_TSK_REQ", &error);
    if (!server_) throw std::runtime_error("echo server cannot serve its pipe");
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Serve(); });
}

EchoServer::~EchoServer() {
    server_->Stop();
    for (auto &t : threads_) t.join();
}

namespace {

// The task list the long reply carries for the list operations: ten names,
// in the packed-list layout (count, then order byte, size byte, text, NUL).
std::vector<std::uint8_t> ListReply() {
    std::vector<std::uint8_t> reply(8024, 0);
    constexpr std::size_t kData = 24;
    std::size_t at = kData + 4;
    std::uint32_t count = 0;
    for (const char *name : {"LOADER", "ARCHIVER", "ALARM_ROUTER", "HISTORIAN", "REPORTS", "OPC_BRIDGE",
                             "BACKUP", "TRENDS", "EVENTS", "WATCHDOG"}) {
        const std::size_t n = std::strlen(name) + 1;
        reply[at] = static_cast<std::uint8_t>(++count);
        reply[at + 1] = static_cast<std::uint8_t>(n);
        std::memcpy(&reply[at + 2], name, n);
        at += 2 + n;
    }
    std::memcpy(&reply[kData], &count, 4); // little-endian host
    return reply;
}

} // namespace

void EchoServer::Serve() {
    std::vector<std::uint8_t> request;
    // The task list in list order and the subsystem list get a reply with ten
    // names, the task list in startup order an empty list, the other
    // operations with an 8024-byte reply an all-zero one, every other request
    // the short reply.
    const std::vector<std::uint8_t> short_reply(536, 0);
    const std::vector<std::uint8_t> long_reply(8024, 0);
    const std::vector<std::uint8_t> list_reply = ListReply();
    while (auto conn = server_->Accept()) {
        bool truncated = false;
        if (!conn->ReadMessage(request, 8024, &truncated)) continue;
        const std::uint16_t op = request.size() >= 6 ? static_cast<std::uint16_t>(request[4] | request[5] << 8) : 0;
        const bool list = op == 13 || op == 16;
        const bool long_data = op == 12 || op == 22 || op == 23 || op == 27 || op == 28 || op == 33;
        const auto &reply = list ? list_reply : long_data ? long_reply : short_reply;
        conn->WriteMessage(reply.data(), reply.size());
    }
}

} // namespace vex::bench
