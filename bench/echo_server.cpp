#include "bench/echo_server.h"

#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace vex::bench {

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

void EchoServer::Serve() {
    std::vector<std::uint8_t> request;
    // The long reply carries an empty packed list (count 0) for the list
    // operations; every other request gets the short reply.
    const std::vector<std::uint8_t> short_reply(536, 0);
    const std::vector<std::uint8_t> long_reply(8024, 0);
    while (auto conn = server_->Accept()) {
        bool truncated = false;
        if (!conn->ReadMessage(request, 8024, &truncated)) continue;
        const std::uint16_t op = request.size() >= 6 ? static_cast<std::uint16_t>(request[4] | request[5] << 8) : 0;
        const bool list = op == 12 || op == 13 || op == 16 || op == 22 || op == 23 || op == 27 || op == 28 || op == 33;
        const auto &reply = list ? long_reply : short_reply;
        conn->WriteMessage(reply.data(), reply.size());
    }
}

} // namespace vex::bench
