#include "service/server.h"

#include <chrono>
#include <cstdio>

#include "platform/platform.h"
#include "service/log.h"

namespace taskd {
namespace {

// Room for any request: a longer one is still read whole enough to be told
// apart from a request record.
constexpr std::size_t kMaxMessage = 65536;

} // namespace

std::string PipeNameFor(const std::string &suffix) { return "ZEPTAR_" + suffix + "_TSK_REQ"; }

Server::Server(TaskService &svc, AccessPolicy access) : svc_(svc), access_(std::move(access)) {}

Server::~Server() { Stop(); }

std::string Server::Start(const std::string &pipe_name, int workers) {
    std::uint32_t error = 0;
    pipe_ = vex::platform::ServePipe(pipe_name, &error);
    if (!pipe_) {
        if (error == vex::platform::kErrorAlreadyExists)
            return "another service already serves the pipe \\\\.\\pipe\\" + pipe_name;
        return "cannot serve the pipe \\\\.\\pipe\\" + pipe_name + " (error " + std::to_string(error) + ")";
    }
    for (int i = 0; i < workers; ++i) workers_.emplace_back([this] { Work(); });
    return {};
}

void Server::Stop() {
    if (pipe_) pipe_->Stop();
    for (std::thread &t : workers_) t.join();
    workers_.clear();
    pipe_.reset();
}

void Server::Work() {
    std::vector<std::uint8_t> request;
    while (auto conn = pipe_->Accept()) {
        bool truncated = false;
        if (!conn->ReadMessage(request, kMaxMessage, &truncated)) continue;
        const auto started = std::chrono::steady_clock::now();
        const vex::platform::PeerIdentity peer = conn->Peer();
        Caller caller;
        caller.known = peer.known;
        caller.process_id = peer.process_id;
        // Only POSIX peers carry a user id.
#if !defined(_WIN32)
        caller.user_known = peer.known;
        caller.user_id = peer.user_id;
#endif
        RequestSummary summary;
        const std::vector<std::uint8_t> reply =
            HandleRequest(svc_, access_, request.data(), request.size(), caller, &summary);
        const bool sent = conn->WriteMessage(reply.data(), reply.size());
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
        char line[160];
        std::snprintf(line, sizeof line, "request 0x%08X (%s) from ", static_cast<unsigned>(summary.code),
                      summary.name);
        char tail[96];
        std::snprintf(tail, sizeof tail, ": status %d, value %d, %.2f ms%s", static_cast<int>(summary.status),
                      static_cast<int>(summary.value), ms, sent ? "" : " (the caller left before the reply)");
        log::Info(std::string(line) + caller.Describe() + tail);
    }
}

} // namespace taskd
