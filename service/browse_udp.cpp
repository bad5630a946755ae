#include "service/browse_udp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "discovery/browse_packet.h"
#include "platform/platform.h"
#include "platform/posix/errors.h"
#include "platform/posix/mailslot_datagram.h"
#include "service/log.h"

namespace taskd {
namespace {

namespace discovery = vex::discovery;
namespace posix = vex::platform::posix;

constexpr std::string_view kBrowseMailslot = "Tidewell\\Browse";
constexpr std::string_view kMailslotKind = "\\mailslot\\";
constexpr int kPollMs = 250;
constexpr auto kRetryBind = std::chrono::seconds(1);
// Refused answers are counted and logged in one line per period.
constexpr auto kRefusalLogPeriod = std::chrono::seconds(60);

// Addresses an answer never goes to: nobody, everybody, a group, or this
// host's loopback, which no other node can have sent from.
bool AnswerableSource(const sockaddr_in &from) {
    const std::uint32_t a = ntohl(from.sin_addr.s_addr);
    if (from.sin_port == 0 || a == 0 || a == 0xFFFFFFFFu) return false;
    if ((a >> 28) == 0xE) return false; // 224.0.0.0/4
    return (a >> 24) != 127;
}

} // namespace

std::optional<std::vector<std::uint8_t>> AnswerBrowseDatagram(const std::uint8_t *data, std::size_t size,
                                                              const BrowseIdentity &identity) {
    posix::MailslotDatagram d;
    if (!posix::ParseMailslotDatagram(data, size, &d) || !posix::SameMailslotPath(d.path, kBrowseMailslot))
        return std::nullopt;
    const auto *request = reinterpret_cast<const std::uint8_t *>(d.message.data());
    discovery::BrowseRequestView view;
    if (!discovery::ParseBrowseRequest(request, d.message.size(), &view) ||
        posix::SameMailslotPath(view.computer_name, identity.node_name))
        return std::nullopt;
    const auto answer = AnswerBrowseRequest(request, d.message.size(), identity);
    if (!answer) return std::nullopt;
    // The reply mailslot's path on its node: what follows "\\NODE\mailslot\".
    const std::string_view reply = answer->reply_path;
    const std::size_t kind = reply.find('\\', 2);
    if (kind == std::string_view::npos) return std::nullopt;
    const std::string_view path = reply.substr(kind + kMailslotKind.size());
    std::vector<std::uint8_t> out(posix::kMaxDatagramSize);
    const std::size_t n =
        posix::WriteMailslotDatagram(path, answer->message.data(), answer->message.size(), out.data(), out.size());
    if (n == 0) return std::nullopt;
    out.resize(n);
    return out;
}

AnswerRateLimit::AnswerRateLimit(Limits limits) : limits_(limits) {
    total_.tokens = limits_.total_burst;
    total_.at = Clock::now();
}

void AnswerRateLimit::Refill(Bucket &b, double rate, double burst, Clock::time_point now) {
    const double seconds = std::chrono::duration<double>(now - b.at).count();
    if (seconds > 0) {
        b.tokens = std::min(burst, b.tokens + seconds * rate);
        b.at = now;
    }
}

void AnswerRateLimit::MakeRoom(Clock::time_point now) {
    // A full bucket knows nothing its absence would not: forget those first.
    for (auto it = buckets_.begin(); it != buckets_.end();) {
        Refill(it->second, limits_.per_source_rate, limits_.per_source_burst, now);
        it = it->second.tokens >= limits_.per_source_burst ? buckets_.erase(it) : std::next(it);
    }
}

bool AnswerRateLimit::Allow(std::uint32_t source, Clock::time_point now) {
    auto it = buckets_.find(source);
    if (it == buckets_.end()) {
        if (buckets_.size() >= limits_.max_sources) MakeRoom(now);
        // Still full: every known source is active; a new one waits its turn.
        if (buckets_.size() >= limits_.max_sources) return false;
        it = buckets_.emplace(source, Bucket{limits_.per_source_burst, now}).first;
    }
    Refill(it->second, limits_.per_source_rate, limits_.per_source_burst, now);
    Refill(total_, limits_.total_rate, limits_.total_burst, now);
    if (it->second.tokens < 1 || total_.tokens < 1) return false;
    it->second.tokens -= 1;
    total_.tokens -= 1;
    return true;
}

UdpBrowseResponder::UdpBrowseResponder(BrowseIdentity identity) : identity_(FitBrowseIdentity(std::move(identity))) {}

UdpBrowseResponder::~UdpBrowseResponder() { Stop(); }

void UdpBrowseResponder::Start() { thread_ = std::thread([this] { Run(); }); }

void UdpBrowseResponder::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void UdpBrowseResponder::Run() {
    const std::uint16_t port = posix::NetworkMailslotPort();
    if (port == 0) {
        log::Warning("VEXSRV_BROWSE_PORT is 0: browse requests from other nodes are not answered");
        return;
    }
    AnswerRateLimit limit;
    int fd = -1;
    bool told = false;
    long refused = 0;
    auto refusals_logged = AnswerRateLimit::Clock::now();
    while (!stop_) {
        if (fd < 0) {
            fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in any{};
            any.sin_family = AF_INET;
            any.sin_port = htons(port);
            // No address sharing: one program per node answers, as with the
            // browse mailslot.
            if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&any), sizeof any) != 0) {
                const int err = errno;
                if (fd >= 0) ::close(fd);
                fd = -1;
                if (!told)
                    log::Warning("cannot answer browse requests from other nodes on UDP port " +
                                 std::to_string(port) + " (" + std::strerror(err) + "); trying again every second");
                told = true;
                const auto until = std::chrono::steady_clock::now() + kRetryBind;
                while (!stop_ && std::chrono::steady_clock::now() < until)
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            log::Info("answering browse requests from other nodes on UDP port " + std::to_string(port));
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kPollMs) <= 0) continue;
        std::uint8_t buffer[posix::kMaxDatagramSize + 1];
        sockaddr_in from{};
        socklen_t from_len = sizeof from;
        const ssize_t got =
            ::recvfrom(fd, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from), &from_len);
        if (got < 0) continue;
        const auto now = AnswerRateLimit::Clock::now();
        if (refused > 0 && now - refusals_logged >= kRefusalLogPeriod) {
            log::Warning(std::to_string(refused) + " browse request(s) from the network left unanswered in the last " +
                         "minute: over the rate allowed per source");
            refused = 0;
            refusals_logged = now;
        }
        if (from_len != sizeof from || from.sin_family != AF_INET || !AnswerableSource(from)) continue;
        const auto answer = AnswerBrowseDatagram(buffer, static_cast<std::size_t>(got), identity_);
        if (!answer) {
            log::Debug("a browse datagram of " + std::to_string(got) + " bytes was ignored");
            continue;
        }
        if (!limit.Allow(from.sin_addr.s_addr, now)) {
            if (refused++ == 0) refusals_logged = now;
            continue;
        }
        ::sendto(fd, answer->data(), answer->size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                 reinterpret_cast<const sockaddr *>(&from), sizeof from);
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        log::Debug(std::string("browse request from ") + text + ":" + std::to_string(ntohs(from.sin_port)) +
                   " answered");
    }
    if (fd >= 0) ::close(fd);
}

} // namespace taskd
