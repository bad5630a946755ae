// Keeps a flood of like events to a few log lines: per peer, a small burst
// of lines, then one line per interval that counts what was left out. A peer
// that keeps flooding gets only that one line per interval; its burst comes
// back after a quiet interval. Used by one thread (the server's loop).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "service/connection.h"

namespace taskd {

class LogLimiter {
  public:
    using Clock = std::chrono::steady_clock;

    LogLimiter(int burst, Clock::duration interval, std::size_t max_peers);

    // Whether an event of this peer may have its own line now; when not, it
    // is counted for the peer's next summary.
    bool Allow(const PeerKey &key, Clock::time_point now);

    // Ends the intervals that ran out, calling report(key, count) for each
    // peer with events left out. Returns when it next has something to do
    // (time_point::max() when it holds no peer).
    template <class Report> Clock::time_point Sweep(Clock::time_point now, Report report) {
        Clock::time_point next = Clock::time_point::max();
        for (std::size_t i = 0; i < peers_.size();) {
            Peer &p = peers_[i];
            if (now - p.start < interval_) {
                if (p.start + interval_ < next) next = p.start + interval_;
                ++i;
                continue;
            }
            if (p.suppressed > 0) {
                report(p.key, p.suppressed);
                // Still flooding: the next interval starts without a burst.
                p.start = now;
                p.logged = burst_;
                p.suppressed = 0;
                if (p.start + interval_ < next) next = p.start + interval_;
                ++i;
                continue;
            }
            // A quiet interval: forget the peer (its burst comes back).
            p = peers_.back();
            peers_.pop_back();
        }
        return next;
    }

  private:
    struct Peer {
        PeerKey key;
        Clock::time_point start;
        int logged = 0;
        std::uint64_t suppressed = 0;
    };

    int burst_;
    Clock::duration interval_;
    std::size_t max_peers_;
    std::vector<Peer> peers_;
};

} // namespace taskd
