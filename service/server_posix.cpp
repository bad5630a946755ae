// The POSIX server: one event-loop thread and a pool of workers.
//
// The loop owns every connection. It accepts without blocking, checks the
// caller as it connects (a refused caller is answered "Access is denied."
// and closed at once, its request never read), counts connections per peer
// and in all, and watches each permitted connection (epoll, one-shot) until
// its request has arrived; only then does a worker take it, read the
// request, carry it out and send the reply. A connection that waits for its
// request, or for room for its reply, has a deadline; the deadlines all have
// the same length, so a list in arrival order is also in deadline order.
// Workers hand connections back to the loop through a short list and an
// eventfd.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

#include "service/connection.h"
#include "service/log.h"
#include "service/log_limiter.h"
#include "service/server.h"
#include "service/worker_pool.h"

namespace taskd {
namespace {

using Clock = std::chrono::steady_clock;

// Room for any request: a longer one is still read whole enough to be told
// apart from a request record.
constexpr std::size_t kMaxMessage = 65536;
// Descriptors kept for everything but connections: state files, task
// launches, the log.
constexpr int kReservedDescriptors = 64;
// After a failed accept or wait, before the next try.
constexpr auto kBackOff = std::chrono::milliseconds(100);
// Threads added while requests wait long (task stops), beyond --workers.
constexpr int kExtraWorkers = 64;
// A caller turned away usually sends its request right after it connects;
// its connection is kept this long for that request to arrive and be
// dropped unread, since a close before it would lose the refusal to a broken
// pipe. At most kMaxLingering at once: beyond, a flood is closed at once.
constexpr auto kLinger = std::chrono::milliseconds(250);
constexpr int kMaxLingering = 64;

const char *const kAccessDenied = "Access is denied.";
const char *const kPipeBusy = "All pipe instances are busy.";

std::string Seconds(std::chrono::milliseconds d) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g s", static_cast<double>(d.count()) / 1000.0);
    return buf;
}

} // namespace

class Server::Impl {
  public:
    Impl(TaskService &svc, AccessPolicy access, ServerLimits limits)
        : svc_(svc), access_(std::move(access)), limits_(limits), peer_log_(5, std::chrono::seconds(10), 256),
          error_log_(3, std::chrono::seconds(10), 4) {}

    ~Impl() {
        Stop();
        if (epoll_fd_ >= 0) ::close(epoll_fd_);
        if (wake_fd_ >= 0) ::close(wake_fd_);
        if (spare_fd_ >= 0) ::close(spare_fd_);
    }

    std::string Start(const std::string &pipe_name);
    void Stop();

  private:
    enum class Kind { Wake, Listener, Connection };
    struct Watch {
        explicit Watch(Kind k) : kind(k) {}
        Kind kind;
    };
    struct ListenerWatch : Watch {
        ListenerWatch() : Watch(Kind::Listener) {}
        std::unique_ptr<Listener> listener;
        bool armed = false;
        Clock::time_point resume;
    };
    enum class State { Reading, Queued, Writing, Lingering };
    struct Conn : Watch {
        Conn() : Watch(Kind::Connection) {}
        std::unique_ptr<Channel> channel;
        PeerKey key;
        State state = State::Reading;
        Clock::time_point deadline;
        Conn *prev = nullptr, *next = nullptr;
        bool linked = false;
        bool counted = false; // in the caps: a permitted connection
        std::vector<std::uint8_t> reply; // waiting for room in the socket
    };
    enum class Back { Close, Read, Write };

    // ---- Loop thread --------------------------------------------------------
    void Loop();
    void Turn(Clock::time_point now, int ready);
    void AcceptFrom(ListenerWatch &lw, Clock::time_point now);
    void OnAcceptError(ListenerWatch &lw, int err, Clock::time_point now);
    void Admit(std::unique_ptr<Channel> channel, Clock::time_point now);
    void TurnAway(std::unique_ptr<Channel> channel, const std::vector<std::uint8_t> &reply, Clock::time_point now);
    Conn *NewConn(std::unique_ptr<Channel> channel);
    struct List {
        Conn *first = nullptr, *last = nullptr;
    };
    List &ListOf(const Conn *c) { return c->state == State::Lingering ? lingering_ : waiting_; }
    void OnEvent(Conn *c, std::uint32_t events, Clock::time_point now);
    void Arm(Conn *c, std::uint32_t events, int op);
    void Close(Conn *c);
    void Link(Conn *c, Clock::time_point deadline);
    void Unlink(Conn *c);
    void Expire(Clock::time_point now);
    void TakeBack(Clock::time_point now);
    int TimeoutMs(Clock::time_point now) const;
    int &PeerCount(const PeerKey &key);
    void Shutdown();
    // One line for an event of key, unless key has had its burst: then it
    // counts towards the key's "suppressed" line.
    template <class Text> void Note(const PeerKey &key, Clock::time_point now, Text text) {
        if (peer_log_.Allow(key, now)) log::Warning(text());
        next_sweep_ = std::min(next_sweep_, now + std::chrono::seconds(1));
    }
    void Sweep(Clock::time_point now);

    // ---- Worker threads -----------------------------------------------------
    static void RunJob(void *self, void *job) { static_cast<Impl *>(self)->Serve(static_cast<Conn *>(job)); }
    void Serve(Conn *c);
    void Hand(Conn *c, Back back);

    TaskService &svc_;
    const AccessPolicy access_;
    const ServerLimits limits_;
    int max_total_ = 0;
    int epoll_fd_ = -1;
    int wake_fd_ = -1;
    int spare_fd_ = -1; // given up to take one connection when descriptors run out
    Watch wake_watch_{Kind::Wake};
    std::vector<std::unique_ptr<ListenerWatch>> listeners_;
    std::unique_ptr<WorkerPool> pool_;
    std::thread loop_;
    std::atomic<bool> stopping_{false};
    bool started_ = false;

    // Loop thread only.
    std::vector<std::unique_ptr<Conn>> conns_; // every Conn ever made, reused
    std::vector<Conn *> free_;
    List waiting_;   // for a request or room for a reply, by deadline
    List lingering_; // turned away, by deadline
    int total_ = 0;
    int lingering_count_ = 0;
    std::vector<std::pair<PeerKey, int>> per_peer_;
    LogLimiter peer_log_;
    LogLimiter error_log_;
    Clock::time_point next_sweep_ = Clock::time_point::max();
    std::vector<std::uint8_t> denied_reply_;
    std::vector<std::uint8_t> busy_reply_;
    std::vector<std::pair<Conn *, Back>> taken_;

    // Workers to loop.
    std::mutex back_mu_;
    std::vector<std::pair<Conn *, Back>> back_;
};

std::string Server::Impl::Start(const std::string &pipe_name) {
    max_total_ = limits_.max_connections;
    rlimit nofile{};
    if (::getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur != RLIM_INFINITY) {
        const auto room = static_cast<long long>(nofile.rlim_cur) - kReservedDescriptors;
        if (room < max_total_) {
            max_total_ = static_cast<int>(std::max(1LL, room));
            log::Warning("--max-connections " + std::to_string(limits_.max_connections) + " lowered to " +
                         std::to_string(max_total_) + ": the descriptor limit is " +
                         std::to_string(nofile.rlim_cur));
        }
    }
    denied_reply_ = RefusalReply(status::kAccessDenied, kAccessDenied);
    busy_reply_ = RefusalReply(status::kPipeBusy, kPipeBusy);

    epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    spare_fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (epoll_fd_ < 0 || wake_fd_ < 0) return std::string("cannot wait for clients: ") + std::strerror(errno);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = &wake_watch_;
    if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &ev) != 0)
        return std::string("cannot wait for clients: ") + std::strerror(errno);

    std::string why;
    auto listener = ListenLocalPipe(pipe_name, &why);
    if (!listener) return why;
    auto lw = std::make_unique<ListenerWatch>();
    lw->listener = std::move(listener);
    ev.events = EPOLLIN;
    ev.data.ptr = lw.get();
    if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, lw->listener->fd(), &ev) != 0)
        return std::string("cannot wait for clients: ") + std::strerror(errno);
    lw->armed = true;
    listeners_.push_back(std::move(lw));

    conns_.reserve(static_cast<std::size_t>(max_total_));
    free_.reserve(static_cast<std::size_t>(max_total_));
    taken_.reserve(64);
    pool_ = std::make_unique<WorkerPool>(limits_.workers, limits_.workers + kExtraWorkers, RunJob, this);
    loop_ = std::thread([this] { Loop(); });
    started_ = true;
    return {};
}

void Server::Impl::Stop() {
    if (!started_) return;
    started_ = false;
    stopping_.store(true);
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof one);
    loop_.join();
}

void Server::Impl::Loop() {
    epoll_event events[128];
    while (!stopping_.load()) {
        // Nothing that goes wrong here may end the loop: it is the service's
        // only way in.
        try {
            const int n = ::epoll_wait(epoll_fd_, events, 128, TimeoutMs(Clock::now()));
            const auto now = Clock::now();
            if (n < 0) {
                if (errno == EINTR) continue;
                const int err = errno;
                if (error_log_.Allow(PeerKey{}, now))
                    log::Error(std::string("waiting for clients failed: ") + std::strerror(err) + "; retrying");
                next_sweep_ = std::min(next_sweep_, now + std::chrono::seconds(1));
                std::this_thread::sleep_for(kBackOff);
                continue;
            }
            // Connections the workers are done with first: their places count
            // for the clients accepted below.
            TakeBack(now);
            for (int i = 0; i < n; ++i) {
                auto *w = static_cast<Watch *>(events[i].data.ptr);
                switch (w->kind) {
                case Kind::Wake: {
                    std::uint64_t count = 0;
                    [[maybe_unused]] const ssize_t r = ::read(wake_fd_, &count, sizeof count);
                    break;
                }
                case Kind::Listener: AcceptFrom(*static_cast<ListenerWatch *>(w), now); break;
                case Kind::Connection: OnEvent(static_cast<Conn *>(w), events[i].events, now); break;
                }
            }
            TakeBack(now);
            Expire(now);
            for (auto &lw : listeners_) {
                if (lw->armed || now < lw->resume) continue;
                epoll_event ev{};
                ev.events = EPOLLIN;
                ev.data.ptr = lw.get();
                lw->armed = ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, lw->listener->fd(), &ev) == 0;
                if (!lw->armed) lw->resume = now + kBackOff;
            }
            if (now >= next_sweep_) Sweep(now);
        } catch (const std::exception &e) {
            log::Error(std::string("serving clients: ") + e.what() + "; retrying");
            std::this_thread::sleep_for(kBackOff);
        }
    }
    Shutdown();
}

int Server::Impl::TimeoutMs(Clock::time_point now) const {
    // At least once a second: cheap, and a bound on anything missed.
    Clock::time_point wake = now + std::chrono::seconds(1);
    if (waiting_.first != nullptr) wake = std::min(wake, waiting_.first->deadline);
    if (lingering_.first != nullptr) wake = std::min(wake, lingering_.first->deadline);
    wake = std::min(wake, next_sweep_);
    for (const auto &lw : listeners_)
        if (!lw->armed) wake = std::min(wake, lw->resume);
    if (wake <= now) return 0;
    // Rounded up: waking before a deadline would only wait again.
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wake - now).count());
}

void Server::Impl::AcceptFrom(ListenerWatch &lw, Clock::time_point now) {
    // A bounded batch, so that a flood of connections does not hold up the
    // replies and deadlines of this turn.
    for (int i = 0; i < 64; ++i) {
        int err = 0;
        std::unique_ptr<Channel> channel = lw.listener->Accept(&err);
        if (!channel) {
            if (err != 0) OnAcceptError(lw, err, now);
            return;
        }
        Admit(std::move(channel), now);
    }
}

void Server::Impl::OnAcceptError(ListenerWatch &lw, int err, Clock::time_point now) {
    std::string extra;
    if ((err == EMFILE || err == ENFILE) && spare_fd_ >= 0) {
        // Out of descriptors: the spare one makes room to take the first
        // waiting client and turn it away, rather than leave it waiting.
        ::close(spare_fd_);
        spare_fd_ = -1;
        int again = 0;
        if (auto channel = lw.listener->Accept(&again)) {
            TurnAway(std::move(channel), busy_reply_, now);
            extra = "; one client turned away";
        }
        spare_fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    if (error_log_.Allow(PeerKey{}, now))
        log::Error("accepting a client on " + lw.listener->Describe() + " failed: " + std::strerror(err) + extra +
                   "; retrying in " + std::to_string(kBackOff.count()) + " ms");
    next_sweep_ = std::min(next_sweep_, now + std::chrono::seconds(1));
    // Listening resumes after the back-off; the clients wait in the backlog.
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, lw.listener->fd(), nullptr);
    lw.armed = false;
    lw.resume = now + kBackOff;
}

int &Server::Impl::PeerCount(const PeerKey &key) {
    for (auto &[k, n] : per_peer_)
        if (k == key) return n;
    return per_peer_.emplace_back(key, 0).second;
}

void Server::Impl::TurnAway(std::unique_ptr<Channel> channel, const std::vector<std::uint8_t> &reply,
                            Clock::time_point now) {
    // One try: a new connection has room for a short reply; one that has not
    // is closed all the same.
    channel->Send(reply.data(), reply.size());
    channel->DiscardInput();
    if (lingering_count_ >= kMaxLingering) return;
    Conn *c = NewConn(std::move(channel));
    c->counted = false;
    c->state = State::Lingering;
    ++lingering_count_;
    Link(c, now + kLinger);
    Arm(c, EPOLLIN | EPOLLRDHUP, EPOLL_CTL_ADD);
}

Server::Impl::Conn *Server::Impl::NewConn(std::unique_ptr<Channel> channel) {
    Conn *c;
    if (!free_.empty()) {
        c = free_.back();
        free_.pop_back();
    } else {
        conns_.push_back(std::make_unique<Conn>());
        c = conns_.back().get();
    }
    c->key = channel->key();
    c->channel = std::move(channel);
    return c;
}

void Server::Impl::Admit(std::unique_ptr<Channel> channel, Clock::time_point now) {
    const PeerKey key = channel->key();
    if (!access_.Permits(channel->caller())) {
        Note(key, now, [&] {
            return "refused a connection from " + channel->caller().Describe() + ": not a user allowed to call";
        });
        TurnAway(std::move(channel), denied_reply_, now);
        return;
    }
    int &mine = PeerCount(key);
    if (mine >= limits_.max_connections_per_peer || total_ >= max_total_) {
        const bool peer_cap = mine >= limits_.max_connections_per_peer;
        const int held = mine;
        if (mine == 0) per_peer_.pop_back(); // the entry made for this check alone
        Note(key, now, [&] {
            return "turned away a connection from " + channel->caller().Describe() +
                   (peer_cap ? ": it holds " + std::to_string(held) + " connections, the most one caller may hold"
                             : ": the service holds " + std::to_string(total_) + " connections, the most it may hold");
        });
        TurnAway(std::move(channel), busy_reply_, now);
        return;
    }
    ++mine;
    Conn *c = NewConn(std::move(channel));
    c->counted = true;
    ++total_;
    // A network channel's handshake would be driven from here; the local
    // pipe's is done at once.
    c->state = State::Reading;
    Link(c, now + limits_.request_timeout);
    Arm(c, EPOLLIN | EPOLLRDHUP, EPOLL_CTL_ADD);
}

void Server::Impl::Arm(Conn *c, std::uint32_t events, int op) {
    epoll_event ev{};
    ev.events = events | EPOLLONESHOT;
    ev.data.ptr = c;
    if (::epoll_ctl(epoll_fd_, op, c->channel->fd(), &ev) != 0) {
        // Without a watch the connection would never be served or expire.
        if (c->linked) Unlink(c);
        Close(c);
    }
}

void Server::Impl::OnEvent(Conn *c, std::uint32_t events, Clock::time_point now) {
    switch (c->state) {
    case State::Reading:
        Unlink(c);
        if ((events & EPOLLIN) != 0) {
            c->state = State::Queued;
            pool_->Submit(c);
        } else {
            Close(c);
        }
        break;
    case State::Writing: {
        if ((events & EPOLLOUT) == 0) {
            Unlink(c);
            Close(c);
            break;
        }
        if (c->channel->Send(c->reply.data(), c->reply.size()) == Io::WantWrite) {
            Arm(c, EPOLLOUT, EPOLL_CTL_MOD);
            break;
        }
        Unlink(c);
        Close(c);
        break;
    }
    case State::Lingering:
        Unlink(c);
        c->channel->DiscardInput();
        Close(c);
        break;
    case State::Queued: break; // a one-shot watch: not reported while a worker has it
    }
    (void)now;
}

void Server::Impl::Close(Conn *c) {
    if (!c->counted) {
        --lingering_count_;
    } else {
        int &mine = PeerCount(c->key);
        if (--mine <= 0) {
            for (auto &entry : per_peer_)
                if (entry.first == c->key) {
                    entry = per_peer_.back();
                    per_peer_.pop_back();
                    break;
                }
        }
        --total_;
    }
    c->channel.reset();
    c->reply.clear();
    free_.push_back(c);
}

void Server::Impl::Link(Conn *c, Clock::time_point deadline) {
    // Every deadline of a list is now plus the same span: appending keeps
    // the list in deadline order.
    List &list = ListOf(c);
    c->deadline = deadline;
    c->prev = list.last;
    c->next = nullptr;
    if (list.last != nullptr)
        list.last->next = c;
    else
        list.first = c;
    list.last = c;
    c->linked = true;
}

void Server::Impl::Unlink(Conn *c) {
    if (!c->linked) return;
    List &list = ListOf(c);
    (c->prev != nullptr ? c->prev->next : list.first) = c->next;
    (c->next != nullptr ? c->next->prev : list.last) = c->prev;
    c->prev = c->next = nullptr;
    c->linked = false;
}

void Server::Impl::Expire(Clock::time_point now) {
    while (lingering_.first != nullptr && lingering_.first->deadline <= now) {
        Conn *c = lingering_.first;
        Unlink(c);
        Close(c);
    }
    while (waiting_.first != nullptr && waiting_.first->deadline <= now) {
        Conn *c = waiting_.first;
        Unlink(c);
        const bool reading = c->state == State::Reading;
        Note(c->key, now, [&] {
            return "dropped a connection from " + c->channel->caller().Describe() +
                   (reading ? ": no whole request within " : ": its reply not taken within ") +
                   Seconds(limits_.request_timeout);
        });
        Close(c);
    }
}

void Server::Impl::TakeBack(Clock::time_point now) {
    {
        std::lock_guard<std::mutex> lock(back_mu_);
        taken_.swap(back_);
    }
    for (auto [c, back] : taken_) {
        switch (back) {
        case Back::Close: Close(c); break;
        case Back::Read:
            c->state = State::Reading;
            Link(c, now + limits_.request_timeout);
            Arm(c, EPOLLIN | EPOLLRDHUP, EPOLL_CTL_MOD);
            break;
        case Back::Write:
            c->state = State::Writing;
            Link(c, now + limits_.request_timeout);
            Arm(c, EPOLLOUT, EPOLL_CTL_MOD);
            break;
        }
    }
    taken_.clear();
}

void Server::Impl::Sweep(Clock::time_point now) {
    const auto report = [](const PeerKey &key, std::uint64_t count) {
        log::Warning(key.Describe() + ": " + std::to_string(count) + " messages suppressed in the last 10 s");
    };
    next_sweep_ = std::min(peer_log_.Sweep(now, report), error_log_.Sweep(now, [](const PeerKey &, std::uint64_t count) {
        log::Warning("serving clients: " + std::to_string(count) + " error messages suppressed in the last 10 s");
    }));
}

void Server::Impl::Shutdown() {
    // New clients find no pipe; those that have not sent a whole request, or
    // not taken their reply, are dropped at once.
    for (auto &lw : listeners_) lw->listener.reset();
    int dropped = 0;
    while (lingering_.first != nullptr) {
        Conn *c = lingering_.first;
        Unlink(c);
        Close(c);
    }
    while (waiting_.first != nullptr) {
        Conn *c = waiting_.first;
        Unlink(c);
        Close(c);
        ++dropped;
    }
    // Requests not yet read are dropped as well; those in flight finish.
    for (void *job : pool_->Stop()) {
        Close(static_cast<Conn *>(job));
        ++dropped;
    }
    {
        std::lock_guard<std::mutex> lock(back_mu_);
        taken_.swap(back_);
    }
    for (auto [c, back] : taken_) Close(c);
    taken_.clear();
    if (dropped > 0) log::Info("shutting down: dropped " + std::to_string(dropped) + " waiting connection(s)");
    Sweep(Clock::now() + std::chrono::hours(1));
}

void Server::Impl::Serve(Conn *c) {
    // Each worker reads into its own buffer, kept between requests.
    thread_local std::vector<std::uint8_t> request;
    bool truncated = false;
    const Io got = c->channel->Receive(request, kMaxMessage, &truncated);
    if (got == Io::WantRead) return Hand(c, Back::Read);
    if (got != Io::Done) return Hand(c, Back::Close);
    const auto started = Clock::now();
    RequestSummary summary;
    std::vector<std::uint8_t> reply =
        HandleRequest(svc_, access_, request.data(), request.size(), c->channel->caller(), &summary);
    const Io sent = c->channel->Send(reply.data(), reply.size());
    if (sent == Io::WantWrite) {
        LogRequest(summary, c->channel->caller(), started, true);
        c->reply = std::move(reply);
        return Hand(c, Back::Write);
    }
    // Handed back before the log line, so that the place is free as soon as
    // the caller has its reply; the caller is copied for the line.
    const Caller caller = c->channel->caller();
    Hand(c, Back::Close);
    LogRequest(summary, caller, started, sent == Io::Done);
}

void Server::Impl::Hand(Conn *c, Back back) {
    bool wake;
    {
        std::lock_guard<std::mutex> lock(back_mu_);
        wake = back_.empty();
        back_.emplace_back(c, back);
    }
    if (wake) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof one);
    }
}

Server::Server(TaskService &svc, AccessPolicy access, ServerLimits limits)
    : impl_(std::make_unique<Impl>(svc, std::move(access), limits)) {}
Server::~Server() { Stop(); }
std::string Server::Start(const std::string &pipe_name) { return impl_->Start(pipe_name); }
void Server::Stop() { impl_->Stop(); }

} // namespace taskd
