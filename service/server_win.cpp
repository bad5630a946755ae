// The Windows server: worker threads each take the next pipe instance, read
// its request, answer it and log it.
#include <thread>

#include "platform/pipe_server.h"
#include "platform/platform.h"
#include "service/server.h"

namespace taskd {
namespace {

// Room for any request: a longer one is still read whole enough to be told
// apart from a request record.
constexpr std::size_t kMaxMessage = 65536;

} // namespace

class Server::Impl {
  public:
    Impl(TaskService &svc, AccessPolicy access, ServerLimits limits)
        : svc_(svc), access_(std::move(access)), limits_(limits) {}

    std::string Start(const std::string &pipe_name) {
        std::uint32_t error = 0;
        pipe_ = vex::platform::ServePipe(pipe_name, &error);
        if (!pipe_) {
            if (error == vex::platform::kErrorAlreadyExists)
                return "another service already serves the pipe \\\\.\\pipe\\" + pipe_name;
            return "cannot serve the pipe \\\\.\\pipe\\" + pipe_name + " (error " + std::to_string(error) + ")";
        }
        for (int i = 0; i < limits_.workers; ++i) workers_.emplace_back([this] { Work(); });
        return {};
    }

    void Stop() {
        if (pipe_) pipe_->Stop();
        for (std::thread &t : workers_) t.join();
        workers_.clear();
        pipe_.reset();
    }

  private:
    void Work() {
        std::vector<std::uint8_t> request;
        while (auto conn = pipe_->Accept()) {
            bool truncated = false;
            if (!conn->ReadMessage(request, kMaxMessage, &truncated)) continue;
            const auto started = std::chrono::steady_clock::now();
            const vex::platform::PeerIdentity peer = conn->Peer();
            Caller caller;
            caller.known = peer.known;
            caller.process_id = peer.process_id;
            RequestSummary summary;
            const std::vector<std::uint8_t> reply =
                HandleRequest(svc_, access_, request.data(), request.size(), caller, &summary);
            const bool sent = conn->WriteMessage(reply.data(), reply.size());
            LogRequest(summary, caller, started, sent);
        }
    }

    TaskService &svc_;
    AccessPolicy access_;
    ServerLimits limits_;
    std::unique_ptr<vex::platform::PipeServer> pipe_;
    std::vector<std::thread> workers_;
};

Server::Server(TaskService &svc, AccessPolicy access, ServerLimits limits)
    : impl_(std::make_unique<Impl>(svc, std::move(access), limits)) {}
Server::~Server() { Stop(); }
std::string Server::Start(const std::string &pipe_name) { return impl_->Start(pipe_name); }
void Server::Stop() { impl_->Stop(); }

} // namespace taskd
