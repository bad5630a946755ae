#include "service/log_limiter.h"

namespace taskd {

LogLimiter::LogLimiter(int burst, Clock::duration interval, std::size_t max_peers)
    : burst_(burst), interval_(interval), max_peers_(max_peers) {
    peers_.reserve(max_peers_ + 1);
}

bool LogLimiter::Allow(const PeerKey &key, Clock::time_point now) {
    Peer *p = nullptr;
    for (Peer &q : peers_)
        if (q.key == key) p = &q;
    if (p == nullptr) {
        // Too many peers at once: the rest share one account, so the table
        // stays bounded however many addresses a flood comes from.
        const PeerKey shared{};
        if (peers_.size() >= max_peers_) {
            for (Peer &q : peers_)
                if (q.key == shared) p = &q;
            if (p == nullptr) p = &peers_.emplace_back(Peer{shared, now, 0, 0});
        } else {
            p = &peers_.emplace_back(Peer{key, now, 0, 0});
        }
    }
    if (p->logged < burst_) {
        ++p->logged;
        return true;
    }
    ++p->suppressed;
    return false;
}


} // namespace taskd
