#include "platform/posix/remote_pool.h"

#include <unistd.h>

#include <algorithm>

namespace vex::platform::tls {

Connection::~Connection() {
    // No close_notify: the service takes the end of the stream as the end.
    if (ssl_ != nullptr) SSL_free(ssl_);
    if (fd_ >= 0) ::close(fd_);
}

Pool &Pool::Instance() {
    // Never destroyed: threads of the program may still call at exit.
    static Pool *const pool = new Pool;
    return *pool;
}

void Pool::Sweep(Clock::time_point now, std::vector<std::unique_ptr<Connection>> *closing) {
    for (Target &t : targets_) {
        auto young = std::find_if(t.idle.begin(), t.idle.end(),
                                  [now](const auto &c) { return now - c->idle_since < kIdleLimit; });
        for (auto it = t.idle.begin(); it != young; ++it)
            closing->push_back(std::move(*it));
        t.idle.erase(t.idle.begin(), young);
    }
}

Pool::Target &Pool::Find(const std::string &name, std::vector<std::unique_ptr<Connection>> *closing) {
    auto it = std::find_if(targets_.begin(), targets_.end(), [&](const Target &t) { return t.name == name; });
    if (it != targets_.end()) {
        targets_.splice(targets_.begin(), targets_, it);
    } else {
        if (targets_.size() >= kMaxTargets) {
            Target &last = targets_.back();
            for (auto &c : last.idle)
                closing->push_back(std::move(c));
            if (last.session != nullptr) SSL_SESSION_free(last.session);
            targets_.pop_back();
        }
        targets_.emplace_front();
        targets_.front().name = name;
    }
    targets_.front().used = Clock::now();
    return targets_.front();
}

std::unique_ptr<Connection> Pool::Take(const std::string &target) {
    std::vector<std::unique_ptr<Connection>> closing; // closed outside the lock
    std::unique_ptr<Connection> taken;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const Clock::time_point now = Clock::now();
        Sweep(now, &closing);
        Target &t = Find(target, &closing);
        // The youngest first: the least likely to have been closed by the service.
        while (!t.idle.empty() && !taken) {
            std::unique_ptr<Connection> c = std::move(t.idle.back());
            t.idle.pop_back();
            if (now - c->idle_since < kReuseLimit)
                taken = std::move(c);
            else
                closing.push_back(std::move(c));
        }
    }
    return taken;
}

void Pool::Give(const std::string &target, std::unique_ptr<Connection> connection) {
    std::vector<std::unique_ptr<Connection>> closing;
    connection->idle_since = Clock::now();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Sweep(connection->idle_since, &closing);
        Target &t = Find(target, &closing);
        if (t.idle.size() < kMaxIdlePerTarget)
            t.idle.push_back(std::move(connection));
        else
            closing.push_back(std::move(connection));
    }
}

SSL_SESSION *Pool::Session(const std::string &target) {
    std::vector<std::unique_ptr<Connection>> closing;
    std::lock_guard<std::mutex> lock(mutex_);
    Target &t = Find(target, &closing);
    if (t.session != nullptr) SSL_SESSION_up_ref(t.session);
    return t.session;
}

void Pool::KeepSession(const std::string &target, SSL_SESSION *session) {
    std::vector<std::unique_ptr<Connection>> closing;
    SSL_SESSION *old = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Target &t = Find(target, &closing);
        old = t.session;
        t.session = session;
    }
    if (old != nullptr) SSL_SESSION_free(old);
}

std::size_t Pool::IdleCount(const std::string &target) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Target &t : targets_)
        if (t.name == target) return t.idle.size();
    return 0;
}

} // namespace vex::platform::tls
