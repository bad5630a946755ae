#include "tests/support/browse_responder.h"

#include <chrono>
#include <stdexcept>
#include <string_view>

#include "discovery/browse_packet.h"
#include "tests/support/local_host.h"

namespace vex::test {
namespace {

constexpr const char *kBrowsePath = "\\\\.\\mailslot\\Tidewell\\Browse";
// How long one read waits, so that the server notices a stop soon.
constexpr std::uint32_t kPollMs = 50;
constexpr auto kTurnWait = std::chrono::seconds(60);

// The reply path with its node replaced by ".".
std::string OnLocalNode(std::string_view path) {
    const std::size_t end_node = path.find('\\', 2);
    return "\\\\." + std::string(path.substr(end_node));
}

} // namespace

BrowseResponder::BrowseResponder(std::vector<Bytes> answers, ReplyNode reply_node)
    : answers_(std::move(answers)), reply_node_(reply_node) {
    const auto deadline = std::chrono::steady_clock::now() + kTurnWait;
    platform::OpenSecurity security;
    for (;;) {
        const std::uint32_t e = platform::CreateLocalMailslot(kBrowsePath, 0, kPollMs, security, &browse_);
        if (e == platform::kErrorSuccess) break;
        if (e != platform::kErrorAlreadyExists || std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("cannot hold the browse mailslot, error " + std::to_string(e));
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    thread_ = std::thread([this] { Serve(); });
}

BrowseResponder::~BrowseResponder() {
    stop_ = true;
    thread_.join();
    platform::CloseMailslot(browse_);
}

std::vector<BrowseResponder::Bytes> BrowseResponder::Requests() const {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
}

std::size_t BrowseResponder::WaitForRequests(std::size_t count) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (requests_.size() >= count || std::chrono::steady_clock::now() > deadline) return requests_.size();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::vector<std::uint32_t> BrowseResponder::AnswerErrors() const {
    std::lock_guard<std::mutex> lock(mu_);
    return answer_errors_;
}

void BrowseResponder::Serve() {
    while (!stop_) {
        std::uint8_t buffer[1024];
        std::uint32_t received = 0;
        if (platform::ReadMailslot(browse_, buffer, sizeof buffer, &received) != platform::kErrorSuccess) continue;
        Bytes request(buffer, buffer + received);
        if (!FromThisProcess(request)) continue;
        Answer(request);
        // Recorded after answering, so that a test that saw the request also
        // sees its answers on their way.
        std::lock_guard<std::mutex> lock(mu_);
        requests_.push_back(std::move(request));
    }
}

bool BrowseResponder::FromThisProcess(const Bytes &request) const {
    discovery::BrowseRequestView view;
    if (!discovery::ParseBrowseRequest(request.data(), request.size(), &view)) return false;
    std::string tail(1, '\\');
    tail += Hex(CurrentProcessId());
    return view.reply_path.size() >= tail.size() &&
           view.reply_path.substr(view.reply_path.size() - tail.size()) == tail;
}

void BrowseResponder::Answer(const Bytes &request) {
    discovery::BrowseRequestView view;
    if (answers_.empty() || !discovery::ParseBrowseRequest(request.data(), request.size(), &view)) return;
    const std::string path =
        reply_node_ == ReplyNode::Local ? OnLocalNode(view.reply_path) : std::string(view.reply_path);
    platform::MailslotHandle reply = platform::kNoMailslot;
    std::uint32_t e = platform::OpenMailslotForWrite(path.c_str(), &reply);
    for (const Bytes &answer : answers_) {
        if (e != platform::kErrorSuccess) break;
        e = platform::WriteMailslot(reply, answer.data(), static_cast<std::uint32_t>(answer.size()));
    }
    platform::CloseMailslot(reply);
    if (e != platform::kErrorSuccess) {
        std::lock_guard<std::mutex> lock(mu_);
        answer_errors_.push_back(e);
    }
}

} // namespace vex::test
