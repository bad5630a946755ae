// Answers browse requests that other nodes send by UDP (Linux): each arrives
// as a network mailslot datagram for "Tidewell\Browse" and is answered with a
// datagram for the reply mailslot it names, sent back to the request's source
// address and port. The answer is the one the browse mailslot gives.
//
// Discovery is not authenticated, as on Windows: anyone on the network may
// ask, and an answer may be forged. An answer only names a node; everything
// done to it afterwards goes over the authenticated exchange. Since a request's
// source address can be forged too, answers are rate-limited per source, so
// that the service cannot be made to flood a third party.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "service/browse_responder.h"

namespace taskd {

// The answer datagram to one received datagram, or null: malformed, not for
// the browse mailslot, or sent from this node (whose requests reach the
// browse mailslot directly and are answered there).
std::optional<std::vector<std::uint8_t>> AnswerBrowseDatagram(const std::uint8_t *data, std::size_t size,
                                                              const BrowseIdentity &identity);

// A token bucket per source address in a bounded table, and one for all
// sources together, which bounds what forged sources can get.
class AnswerRateLimit {
  public:
    using Clock = std::chrono::steady_clock;
    struct Limits {
        double per_source_rate = 2;   // answers per second
        double per_source_burst = 5;
        double total_rate = 100;
        double total_burst = 200;
        std::size_t max_sources = 1024;
    };
    AnswerRateLimit() : AnswerRateLimit(Limits{}) {}
    explicit AnswerRateLimit(Limits limits);

    // Whether one more answer may go to source now; takes its token if so.
    bool Allow(std::uint32_t source, Clock::time_point now);
    std::size_t sources() const { return buckets_.size(); }

  private:
    struct Bucket {
        double tokens = 0;
        Clock::time_point at;
    };
    static void Refill(Bucket &b, double rate, double burst, Clock::time_point now);
    void MakeRoom(Clock::time_point now);

    Limits limits_;
    Bucket total_;
    std::unordered_map<std::uint32_t, Bucket> buckets_;
};

class UdpBrowseResponder {
  public:
    explicit UdpBrowseResponder(BrowseIdentity identity);
    ~UdpBrowseResponder();
    UdpBrowseResponder(const UdpBrowseResponder &) = delete;
    UdpBrowseResponder &operator=(const UdpBrowseResponder &) = delete;

    // Listens on every IPv4 address at the network mailslot port (7471, or
    // VEXSRV_BROWSE_PORT).
    void Start();
    void Stop();

  private:
    void Run();

    BrowseIdentity identity_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace taskd
