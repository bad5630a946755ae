#include "service/browse_responder.h"

#include <chrono>
#include <string_view>

#include "discovery/browse_packet.h"
#include "platform/platform.h"
#include "service/log.h"

namespace taskd {
namespace {

namespace discovery = vex::discovery;
namespace platform = vex::platform;

constexpr const char *kBrowsePath = "\\\\.\\mailslot\\Tidewell\\Browse";
// Browse replies go only to the mailslots the library creates for them.
constexpr std::string_view kReplyFolder = "\\mailslot\\tidewell\\browser\\";
// A request is at most 200 bytes; anything longer is not one.
constexpr std::uint32_t kMaxRequest = 512;
// How long one read waits, so that a stop is noticed soon.
constexpr std::uint32_t kReadWaitMs = 250;
constexpr auto kRetryTakeOver = std::chrono::seconds(1);

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && EqualNoCase(s.substr(0, prefix.size()), prefix);
}

} // namespace

BrowseIdentity FitBrowseIdentity(BrowseIdentity id) {
    // Header, then three strings with their zeros, in 128 bytes.
    const std::size_t room = discovery::kBrowseReplyMax - discovery::kBrpHeaderSize - 3;
    const std::size_t fixed = id.node_name.size() + id.version.size();
    if (fixed >= room) {
        id.version = id.version.substr(0, room / 4);
        id.node_name = id.node_name.substr(0, room / 4);
    }
    const std::size_t left = room - id.node_name.size() - id.version.size();
    if (id.display_name.size() > left) id.display_name.resize(left);
    return id;
}

std::optional<BrowseAnswer> AnswerBrowseRequest(const std::uint8_t *data, std::size_t size,
                                                const BrowseIdentity &identity) {
    discovery::BrowseRequestView request;
    if (!discovery::ParseBrowseRequest(data, size, &request)) return std::nullopt;
    if (request.fixed_first != discovery::kBrqFixedValue || request.fixed_second != discovery::kBrqFixedValue)
        return std::nullopt;
    // "\\NODE\mailslot\Tidewell\BrowseR\ID": nothing else is answered, so
    // the responder cannot be made to write into other mailslots.
    const std::string_view path = request.reply_path;
    const std::size_t end_node = path.find('\\', 2);
    if (end_node == std::string_view::npos || !StartsWithNoCase(path.substr(end_node), kReplyFolder) ||
        path.size() == end_node + kReplyFolder.size())
        return std::nullopt;
    const std::string_view node = path.substr(2, end_node - 2);

    BrowseAnswer answer;
    answer.reply_path = EqualNoCase(node, identity.node_name) ? "\\\\." + std::string(path.substr(end_node))
                                                              : std::string(path);
    answer.message.resize(discovery::kBrowseReplyMax);
    const std::size_t n = discovery::WriteBrowseReply(identity.node_name, identity.display_name, identity.version,
                                                      answer.message.data(), answer.message.size());
    if (n == 0) return std::nullopt;
    answer.message.resize(n);
    return answer;
}

BrowseResponder::BrowseResponder(BrowseIdentity identity) : identity_(FitBrowseIdentity(std::move(identity))) {}

BrowseResponder::~BrowseResponder() { Stop(); }

void BrowseResponder::Start() { thread_ = std::thread([this] { Run(); }); }

void BrowseResponder::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void BrowseResponder::Run() {
    platform::OpenSecurity security = platform::AcquireOpenSecurity();
    platform::MailslotHandle browse = platform::kNoMailslot;
    bool told_taken = false;
    while (!stop_) {
        if (browse == platform::kNoMailslot) {
            const std::uint32_t e = platform::CreateLocalMailslot(kBrowsePath, kMaxRequest, kReadWaitMs, security,
                                                                  &browse);
            if (e != platform::kErrorSuccess) {
                if (!told_taken)
                    log::Warning(e == platform::kErrorAlreadyExists
                                     ? "another service on this node answers browse requests; this one takes "
                                       "over when it has gone"
                                     : "cannot listen for browse requests (error " + std::to_string(e) +
                                           "); trying again every second");
                told_taken = true;
                const auto until = std::chrono::steady_clock::now() + kRetryTakeOver;
                while (!stop_ && std::chrono::steady_clock::now() < until)
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            log::Info("answering browse requests on \\\\.\\mailslot\\Tidewell\\Browse as '" +
                      identity_.display_name + "'");
        }
        std::uint8_t buffer[kMaxRequest];
        std::uint32_t received = 0;
        const std::uint32_t e = platform::ReadMailslot(browse, buffer, sizeof buffer, &received);
        if (e == platform::kErrorSemTimeout) continue;
        if (e != platform::kErrorSuccess) {
            log::Warning("reading a browse request failed (error " + std::to_string(e) + ")");
            continue;
        }
        const auto answer = AnswerBrowseRequest(buffer, received, identity_);
        if (!answer) {
            log::Debug("a malformed browse request of " + std::to_string(received) + " bytes was ignored");
            continue;
        }
        platform::MailslotHandle reply = platform::kNoMailslot;
        std::uint32_t w = platform::OpenMailslotForWrite(answer->reply_path.c_str(), &reply);
        if (w == platform::kErrorSuccess)
            w = platform::WriteMailslot(reply, answer->message.data(), static_cast<std::uint32_t>(answer->message.size()));
        platform::CloseMailslot(reply);
        if (w != platform::kErrorSuccess)
            log::Info("a browse answer to " + answer->reply_path + " could not be delivered (error " +
                      std::to_string(w) + ")");
        else
            log::Debug("browse request answered on " + answer->reply_path);
    }
    platform::CloseMailslot(browse);
    platform::ReleaseOpenSecurity(security);
}

} // namespace taskd
