#include "service/lock.h"

#include <utility>

namespace taskd {

ExclusiveLock::ExclusiveLock(std::chrono::seconds lease, std::function<std::uint32_t()> random)
    : lease_(lease), random_(std::move(random)) {}

std::optional<std::int32_t> ExclusiveLock::Take(Clock::time_point now, const std::string &holder) {
    Lapse(now);
    if (held_) return std::nullopt;
    // 0 is the key of requests sent without a lock, -1 the library's "no
    // token": neither may ever be a token, nor may the last one come back.
    std::int32_t token;
    do {
        token = static_cast<std::int32_t>(random_());
    } while (token == 0 || token == -1 || token == last_token_);
    held_ = true;
    token_ = last_token_ = token;
    holder_ = holder;
    renewed_ = now;
    return token;
}

ExclusiveLock::Give ExclusiveLock::GiveBack(std::int32_t token, Clock::time_point now) {
    Lapse(now);
    if (!held_) return Give::NotHeld;
    if (token != token_) return Give::WrongToken;
    held_ = false;
    holder_.clear();
    return Give::Given;
}

bool ExclusiveLock::Admit(std::int32_t key, Clock::time_point now) {
    Lapse(now);
    if (!held_) return true;
    if (key != token_) return false;
    renewed_ = now;
    return true;
}

std::optional<std::string> ExclusiveLock::Lapse(Clock::time_point now) {
    if (!held_ || now - renewed_ < lease_) return std::nullopt;
    held_ = false;
    return std::exchange(holder_, std::string());
}

} // namespace taskd
