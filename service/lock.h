// The database's exclusive lock, held as a lease. Taking it hands out a fresh
// token drawn from the system's random source; while it is held, a request
// that carries a lock key gets through only with that token, and each such
// request renews the lease. A holder that vanishes loses the lock once the
// lease has run out without a request carrying its token.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace taskd {

class ExclusiveLock {
  public:
    using Clock = std::chrono::steady_clock;

    // random gives the token bits; lease is how long the lock lasts without a
    // request carrying its token.
    ExclusiveLock(std::chrono::seconds lease, std::function<std::uint32_t()> random);

    // Hands out a token when the lock is free; null while another holds it.
    // holder describes the caller for the log.
    std::optional<std::int32_t> Take(Clock::time_point now, const std::string &holder);

    enum class Give { Given, NotHeld, WrongToken };
    Give GiveBack(std::int32_t token, Clock::time_point now);

    // Whether a request carrying key may go on: always while the lock is
    // free, only with the token while it is held (and then the lease starts
    // again).
    bool Admit(std::int32_t key, Clock::time_point now);

    // Ends a lease that has run out. Returns the holder's description when it
    // did, for the log.
    std::optional<std::string> Lapse(Clock::time_point now);

    bool held() const { return held_; }
    const std::string &holder() const { return holder_; }
    std::chrono::seconds lease() const { return lease_; }

  private:
    std::chrono::seconds lease_;
    std::function<std::uint32_t()> random_;
    bool held_ = false;
    std::int32_t token_ = 0;
    std::int32_t last_token_ = 0;
    std::string holder_;
    Clock::time_point renewed_{};
};

} // namespace taskd
