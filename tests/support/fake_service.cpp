#include "tests/support/fake_service.h"

#include <atomic>
#include <stdexcept>

#if defined(_WIN32)
#include <process.h>
#define VEX_GETPID _getpid
#else
#include <unistd.h>
#define VEX_GETPID getpid
#endif

namespace vex::test {

std::vector<std::uint8_t> MakeReply(std::int32_t status, std::int32_t value, const std::string &text,
                                    std::size_t size) {
    std::vector<std::uint8_t> r(size, 0);
    auto put = [&](std::size_t off, std::int32_t v) {
        if (off + 4 > r.size()) return;
        const auto u = static_cast<std::uint32_t>(v);
        for (int i = 0; i < 4; ++i) r[off + i] = static_cast<std::uint8_t>(u >> (8 * i));
    };
    put(12, status);
    put(20, value);
    for (std::size_t i = 0; i < text.size() && 24 + i < r.size(); ++i) r[24 + i] = static_cast<std::uint8_t>(text[i]);
    return r;
}

std::string UniqueSuffix(const std::string &stem) {
    static std::atomic<int> counter{0};
    return stem + std::to_string(VEX_GETPID()) + "_" + std::to_string(counter++);
}

FakeService::FakeService(std::string suffix) : suffix_(std::move(suffix)) {
    std::uint32_t error = 0;
    server_ = platform::ServePipe("ZEPTAR_" + suffix_ + "_TSK_REQ", &error);
    if (!server_) throw std::runtime_error("fake service cannot serve its pipe, error " + std::to_string(error));
    thread_ = std::thread([this] { Serve(); });
}

FakeService::~FakeService() {
    server_->Stop();
    thread_.join();
}

void FakeService::Script(std::vector<std::uint8_t> reply) {
    std::lock_guard<std::mutex> lock(mu_);
    script_.push_back(std::move(reply));
    hang_up_.push_back(false);
}

void FakeService::ScriptHangUp() {
    std::lock_guard<std::mutex> lock(mu_);
    script_.emplace_back();
    hang_up_.push_back(true);
}

std::vector<std::vector<std::uint8_t>> FakeService::Requests() const {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
}

std::size_t FakeService::RequestCount() const {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_.size();
}

void FakeService::Serve() {
    while (auto conn = server_->Accept()) {
        std::vector<std::uint8_t> request;
        bool truncated = false;
        if (!conn->ReadMessage(request, 65536, &truncated)) continue;
        std::vector<std::uint8_t> reply(536, 0);
        bool hang_up = false;
        {
            std::lock_guard<std::mutex> lock(mu_);
            requests_.push_back(request);
            if (!script_.empty()) {
                reply = std::move(script_.front());
                hang_up = hang_up_.front();
                script_.pop_front();
                hang_up_.pop_front();
            }
        }
        if (!hang_up) conn->WriteMessage(reply.data(), reply.size());
    }
}

} // namespace vex::test
