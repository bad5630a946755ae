// The POSIX server: one event-loop thread, a few threads that take the local
// pipe's callers, and a pool of workers.
//
// The local pipe is taken by a few threads blocked in accept (one per usable
// CPU, at most kMaxAcceptors), which the kernel wakes in turn. Each answers at once a caller whose whole request is
// already there and can be carried out at once; it hands every other
// connection to the loop, before reading anything from a caller the loop
// would refuse or turn away. On a machine of a few CPUs this is what keeps a
// call on one CPU: one loop thread woken for every caller always runs on the
// CPU the caller does not, and each call then wakes a halted CPU twice.
//
// The loop owns every connection once it has it. It accepts the network
// listeners' callers without blocking, counts connections per peer (local user or network address) and
// in all before it spends anything on a peer, drives a channel's handshake,
// checks the caller as soon as it is known (a refused caller is answered
// "Access is denied." and closed, its request never read), and reads each
// request whole (epoll, one-shot). A request that cannot wait (refused
// before it is carried out, or a read-only look at the state in memory while
// the service's mutex is free) the loop carries out and answers itself; any
// other a worker takes, carries out and answers. A connection that serves several exchanges goes
// back to the loop to wait idle for its next request. Every wait has a
// deadline on a timeline of deadlines of one length, so that each timeline
// in arrival order is also in deadline order. Workers hand connections back
// to the loop through a short list and an eventfd.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
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
#include <utility>

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
// its connection is kept a moment (its channel's linger()) for that request
// to arrive and be dropped unread, since a close before it would lose the
// refusal to a broken pipe. At most kMaxLingering at once: beyond, a flood
// is closed at once.
constexpr int kMaxLingering = 64;
// Threads that take the local pipe's callers: one per CPU the service may
// run on, at most this many. On one CPU a second one only adds switches.
constexpr int kMaxAcceptors = 4;
// How often an acceptor tries the service's mutex for a quick request.
constexpr int kQuickTries = 64;
// How long an acceptor waits for a request that has not come with the
// connection, before it hands the connection to the loop.
constexpr int kRequestWaitMs = 1;

const char *const kAccessDenied = "Access is denied.";
const char *const kPipeBusy = "All pipe instances are busy.";

std::string AcceptFailed(const std::string &listener, int err, const std::string &extra) {
    return "accepting a client on " + listener + " failed: " + std::strerror(err) + extra + "; retrying in " +
           std::to_string(kBackOff.count()) + " ms";
}

std::string Seconds(std::chrono::milliseconds d) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g s", static_cast<double>(d.count()) / 1000.0);
    return buf;
}

} // namespace

class Server::Impl {
  public:
    Impl(TaskService &svc, AccessPolicy access, ServerLimits limits)
        : svc_(svc), access_(std::move(access)), limits_(limits), peer_log_(5, std::chrono::seconds(10), 256) {}

    ~Impl() {
        Stop();
        if (epoll_fd_ >= 0) ::close(epoll_fd_);
        if (wake_fd_ >= 0) ::close(wake_fd_);
        if (spare_fd_ >= 0) ::close(spare_fd_);
    }

    void Serve(std::unique_ptr<Listener> listener, AccessPolicy access);
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
        AccessPolicy access; // what its callers are held to
        bool armed = false;
        Clock::time_point resume;
    };
    enum class State { Establishing, Idle, Reading, Queued, Writing, Lingering, Free };
    struct Conn;
    // Deadlines of one length, in arrival order and so in deadline order.
    struct Timeline {
        std::chrono::milliseconds span;
        Conn *first = nullptr, *last = nullptr;
    };
    struct Conn : Watch {
        Conn() : Watch(Kind::Connection) {}
        std::unique_ptr<Channel> channel;
        const ListenerWatch *from = nullptr;
        PeerKey key;
        State state = State::Reading;
        Clock::time_point deadline;
        Timeline *line = nullptr; // null: no deadline running
        Conn *prev = nullptr, *next = nullptr;
        bool counted = false; // in the caps: a permitted connection
        bool watched = false; // its descriptor is in the epoll set
        std::vector<std::uint8_t> request; // read whole, for a worker
        std::vector<std::uint8_t> reply;   // waiting for room in the socket
    };
    enum class Back { Close, Done, Write };
    // A connection an acceptor thread hands to the loop: as accepted, or with
    // its request read (for a worker), or with its reply waiting for room.
    struct Handed {
        std::unique_ptr<Channel> channel;
        ListenerWatch *from = nullptr;
        bool busy = false;    // to be turned away: descriptors ran out
        bool counted = false; // its place in the caps already taken
        std::vector<std::uint8_t> request;
        std::vector<std::uint8_t> reply;
    };

    // ---- Loop thread --------------------------------------------------------
    void Loop();
    void AcceptFrom(ListenerWatch &lw, Clock::time_point now);
    void OnAcceptError(ListenerWatch &lw, int err, Clock::time_point now);
    std::unique_ptr<Channel> TakeWithSpare(Listener &listener, int err);
    bool AllowErrorLine(Clock::time_point now);
    void Admit(std::unique_ptr<Channel> channel, const ListenerWatch &lw, Clock::time_point now,
               bool counted = false, std::vector<std::uint8_t> request = {}, std::vector<std::uint8_t> reply = {});
    void TakeHanded(Clock::time_point now);
    void Established(Conn *c, Clock::time_point now);
    void Drive(Conn *c, Clock::time_point now);
    bool AnswerHere(Conn *c, Clock::time_point now);
    void AfterExchange(Conn *c, Clock::time_point now);
    void TurnAway(std::unique_ptr<Channel> channel, const std::vector<std::uint8_t> &reply, Clock::time_point now);
    void Retire(Conn *c, const std::vector<std::uint8_t> *reply, Clock::time_point now);
    void Failed(Conn *c, Clock::time_point now);
    Conn *NewConn(std::unique_ptr<Channel> channel);
    void Arm(Conn *c, std::uint32_t events);
    void ArmFor(Conn *c, Io io) { Arm(c, io == Io::WantWrite ? EPOLLOUT : EPOLLIN | EPOLLRDHUP); }
    void Close(Conn *c);
    void Uncount(Conn *c);
    void Link(Conn *c, std::chrono::milliseconds span, Clock::time_point now);
    void Unlink(Conn *c);
    void Expire(Clock::time_point now);
    void OnLate(Conn *c, Clock::time_point now);
    void TakeBack(Clock::time_point now);
    int TimeoutMs(Clock::time_point now) const;
    int &PeerCount(const PeerKey &key);
    int PeerCap(const PeerKey &key) const {
        return key.kind == PeerKey::Kind::NetworkAddress ? limits_.max_connections_per_address
                                                         : limits_.max_connections_per_peer;
    }
    void Shutdown();
    // One line for an event of key, unless key has had its burst: then it
    // counts towards the key's "suppressed" line.
    template <class Text> void Note(const PeerKey &key, Clock::time_point now, Text text) {
        if (peer_log_.Allow(key, now)) log::Warning(text());
        next_sweep_ = std::min(next_sweep_, now + std::chrono::seconds(1));
    }
    void Sweep(Clock::time_point now);

    // ---- Acceptor threads ---------------------------------------------------
    void Accepting(ListenerWatch *lw);
    void AnswerOrHand(std::unique_ptr<Channel> channel, ListenerWatch *lw, std::vector<std::uint8_t> &request,
                      std::vector<std::uint8_t> &reply);
    void HandToLoop(Handed handed);
    void OnAcceptorError(ListenerWatch &lw, int err);
    bool Reserve(const PeerKey &key);
    void Release(const PeerKey &key);

    // ---- Worker threads -----------------------------------------------------
    static void RunJob(void *self, void *job) { static_cast<Impl *>(self)->Work(static_cast<Conn *>(job)); }
    void Work(Conn *c);
    void Hand(Conn *c, Back back);

    TaskService &svc_;
    const AccessPolicy access_;
    const ServerLimits limits_;
    int max_total_ = 0;
    int epoll_fd_ = -1;
    int wake_fd_ = -1;
    // The loop's and the acceptors' error lines, and the spare descriptor.
    std::mutex errors_mu_;
    LogLimiter error_log_{3, std::chrono::seconds(10), 4};
    int spare_fd_ = -1; // given up to take one connection when descriptors run out
    Watch wake_watch_{Kind::Wake};
    std::vector<std::unique_ptr<ListenerWatch>> listeners_; // the loop's to accept on
    std::unique_ptr<ListenerWatch> local_; // the local pipe: the acceptors'

    std::unique_ptr<WorkerPool> pool_;
    std::thread loop_;
    std::vector<std::thread> acceptors_;
    std::atomic<bool> accepting_{true};
    std::atomic<bool> stopping_{false};
    bool started_ = false;

    // Loop thread only.
    std::vector<std::unique_ptr<Conn>> conns_; // every Conn ever made, reused
    std::vector<Conn *> free_;
    std::vector<std::unique_ptr<Timeline>> timelines_; // one per length in use
    int lingering_count_ = 0;
    // The caps' counts: changed by the loop, read by the acceptors too.
    std::mutex caps_mu_;
    int total_ = 0;
    std::vector<std::pair<PeerKey, int>> per_peer_;
    LogLimiter peer_log_;
    Clock::time_point next_sweep_ = Clock::time_point::max();
    std::vector<std::uint8_t> denied_reply_;
    std::vector<std::uint8_t> busy_reply_;
    std::vector<std::uint8_t> scratch_; // a request as it is read
    std::vector<std::pair<Conn *, Back>> taken_;

    // Workers to loop.
    std::mutex back_mu_;
    std::vector<std::pair<Conn *, Back>> back_;

    // Acceptors to loop.
    std::mutex handed_mu_;
    std::vector<Handed> handed_;
    std::vector<Handed> handed_taken_; // loop thread only
    std::atomic<bool> acceptor_noted_{false}; // a line counted for a summary
};

void Server::Impl::Serve(std::unique_ptr<Listener> listener, AccessPolicy access) {
    auto lw = std::make_unique<ListenerWatch>();
    lw->listener = std::move(listener);
    lw->access = std::move(access);
    listeners_.push_back(std::move(lw));
}

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
    // The acceptors wait in accept itself: a blocking socket.
    const int local_fd = listener->fd();
    const int flags = ::fcntl(local_fd, F_GETFL);
    if (flags < 0 || ::fcntl(local_fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return std::string("cannot wait for clients: ") + std::strerror(errno);
    local_ = std::make_unique<ListenerWatch>();
    local_->listener = std::move(listener);
    local_->access = access_;
    for (auto &lw : listeners_) {
        ev.events = EPOLLIN;
        ev.data.ptr = lw.get();
        if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, lw->listener->fd(), &ev) != 0)
            return std::string("cannot wait for clients: ") + std::strerror(errno);
        lw->armed = true;
    }

    conns_.reserve(static_cast<std::size_t>(max_total_));
    free_.reserve(static_cast<std::size_t>(max_total_));
    taken_.reserve(64);
    scratch_.reserve(kMaxMessage);
    pool_ = std::make_unique<WorkerPool>(limits_.workers, limits_.workers + kExtraWorkers, RunJob, this);
    loop_ = std::thread([this] { Loop(); });
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    const int usable = ::sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
    const int acceptors = usable <= 1 ? 1 : kMaxAcceptors;
    for (int i = 0; i < acceptors; ++i) acceptors_.emplace_back([this] { Accepting(local_.get()); });
    started_ = true;
    return {};
}

void Server::Impl::Stop() {
    if (!started_) return;
    started_ = false;
    // The acceptors first: a shut-down listening socket ends their accept
    // (and turns new callers away), and the loop must not close the
    // listener under them.
    accepting_.store(false);
    ::shutdown(local_->listener->fd(), SHUT_RDWR);
    for (auto &t : acceptors_) t.join();
    acceptors_.clear();
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
                if (AllowErrorLine(now))
                    log::Error(std::string("waiting for clients failed: ") + std::strerror(err) + "; retrying");
                next_sweep_ = std::min(next_sweep_, now + std::chrono::seconds(1));
                std::this_thread::sleep_for(kBackOff);
                continue;
            }
            // Connections the workers are done with first: their places count
            // for the clients accepted below.
            TakeBack(now);
            TakeHanded(now);
            for (int i = 0; i < n; ++i) {
                auto *w = static_cast<Watch *>(events[i].data.ptr);
                switch (w->kind) {
                case Kind::Wake: {
                    std::uint64_t count = 0;
                    [[maybe_unused]] const ssize_t r = ::read(wake_fd_, &count, sizeof count);
                    break;
                }
                case Kind::Listener: AcceptFrom(*static_cast<ListenerWatch *>(w), now); break;
                case Kind::Connection: {
                    Conn *c = static_cast<Conn *>(w);
                    if (c->state == State::Lingering) {
                        Unlink(c);
                        c->channel->DiscardInput();
                        Close(c);
                    } else if (c->state != State::Queued) { // a one-shot watch: never while a worker has it
                        Drive(c, now);
                    }
                    break;
                }
                }
            }
            TakeBack(now);
            TakeHanded(now);
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
    for (const auto &line : timelines_)
        if (line->first != nullptr) wake = std::min(wake, line->first->deadline);
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
        Admit(std::move(channel), lw, now);
    }
}

void Server::Impl::OnAcceptError(ListenerWatch &lw, int err, Clock::time_point now) {
    std::string extra;
    if (auto channel = TakeWithSpare(*lw.listener, err)) {
        TurnAway(std::move(channel), busy_reply_, now);
        extra = "; one client turned away";
    }
    if (AllowErrorLine(now)) log::Error(AcceptFailed(lw.listener->Describe(), err, extra));
    next_sweep_ = std::min(next_sweep_, now + std::chrono::seconds(1));
    // Listening resumes after the back-off; the clients wait in the backlog.
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, lw.listener->fd(), nullptr);
    lw.armed = false;
    lw.resume = now + kBackOff;
}

std::unique_ptr<Channel> Server::Impl::TakeWithSpare(Listener &listener, int err) {
    // Out of descriptors: the spare one makes room to take the first waiting
    // client and turn it away, rather than leave it waiting.
    if (err != EMFILE && err != ENFILE) return nullptr;
    int spare;
    {
        std::lock_guard<std::mutex> lock(errors_mu_);
        spare = std::exchange(spare_fd_, -1);
    }
    if (spare < 0) return nullptr;
    ::close(spare);
    // Only a client already waiting: the acceptors' listener blocks.
    pollfd waiting{listener.fd(), POLLIN, 0};
    int again = 0;
    std::unique_ptr<Channel> taken;
    if (::poll(&waiting, 1, 0) == 1) taken = listener.Accept(&again);
    const int reopened = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    std::lock_guard<std::mutex> lock(errors_mu_);
    spare_fd_ = reopened;
    return taken;
}

bool Server::Impl::AllowErrorLine(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(errors_mu_);
    return error_log_.Allow(PeerKey{}, now);
}

int &Server::Impl::PeerCount(const PeerKey &key) {
    for (auto &[k, n] : per_peer_)
        if (k == key) return n;
    return per_peer_.emplace_back(key, 0).second;
}

void Server::Impl::TurnAway(std::unique_ptr<Channel> channel, const std::vector<std::uint8_t> &reply,
                            Clock::time_point now) {
    Conn *c = NewConn(std::move(channel));
    c->counted = false;
    Retire(c, &reply, now);
}

void Server::Impl::Retire(Conn *c, const std::vector<std::uint8_t> *reply, Clock::time_point now) {
    // One try: a new connection has room for a short reply; one that has not
    // is closed all the same. The peer then has a moment to read it, since a
    // close before its request arrived would lose the reply to a reset.
    Unlink(c);
    Uncount(c);
    if (reply != nullptr) c->channel->Send(reply->data(), reply->size());
    c->channel->Finish();
    c->channel->DiscardInput();
    if (lingering_count_ >= kMaxLingering) return Close(c);
    c->state = State::Lingering;
    ++lingering_count_;
    Link(c, c->channel->linger(), now);
    Arm(c, EPOLLIN | EPOLLRDHUP);
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
    c->from = nullptr;
    c->counted = c->watched = false;
    c->line = nullptr;
    return c;
}

void Server::Impl::Admit(std::unique_ptr<Channel> channel, const ListenerWatch &lw, Clock::time_point now,
                         bool counted, std::vector<std::uint8_t> request, std::vector<std::uint8_t> reply) {
    // The caps first, by what is known at accept: nothing is spent on a peer
    // that holds too much already.
    const PeerKey key = channel->key();
    bool over = false, peer_cap = false;
    int held = 0, total = 0;
    if (!counted) {
        std::lock_guard<std::mutex> lock(caps_mu_);
        int &mine = PeerCount(key);
        peer_cap = mine >= PeerCap(key);
        over = peer_cap || total_ >= max_total_;
        held = mine;
        total = total_;
        if (!over) {
            ++mine;
            ++total_;
        } else if (mine == 0) {
            per_peer_.pop_back(); // the entry made for this check alone
        }
    }
    if (over) {
        Note(key, now, [&] {
            return "turned away a connection from " + channel->caller().Describe() +
                   (peer_cap ? ": it holds " + std::to_string(held) + " connections, the most one " +
                                   (key.kind == PeerKey::Kind::NetworkAddress ? "address" : "caller") + " may hold"
                             : ": the service holds " + std::to_string(total) + " connections, the most it may hold");
        });
        TurnAway(std::move(channel), busy_reply_, now);
        return;
    }
    Conn *c = NewConn(std::move(channel));
    c->from = &lw;
    c->counted = true;
    if (!reply.empty()) {
        // Answered by an acceptor, its reply waiting for room.
        c->reply = std::move(reply);
        c->state = State::Writing;
        Link(c, limits_.request_timeout, now);
        ArmFor(c, Io::WantWrite);
        return;
    }
    if (!request.empty()) {
        // Read whole by an acceptor: a worker's.
        c->request = std::move(request);
        c->state = State::Queued;
        pool_->Submit(c);
        return;
    }
    c->state = State::Establishing;
    Link(c, limits_.handshake_timeout, now);
    Drive(c, now);
}

void Server::Impl::TakeHanded(Clock::time_point now) {
    {
        std::lock_guard<std::mutex> lock(handed_mu_);
        handed_taken_.swap(handed_);
    }
    // An acceptor's error line counted for a summary: the next sweep says so.
    if (acceptor_noted_.exchange(false)) next_sweep_ = std::min(next_sweep_, now + std::chrono::seconds(1));
    for (Handed &h : handed_taken_) {
        if (h.busy)
            TurnAway(std::move(h.channel), busy_reply_, now);
        else
            Admit(std::move(h.channel), *h.from, now, h.counted, std::move(h.request), std::move(h.reply));
    }
    handed_taken_.clear();
}

void Server::Impl::Established(Conn *c, Clock::time_point now) {
    Unlink(c);
    const Caller &caller = c->channel->caller();
    const std::string &refusal = c->channel->failure();
    if (!refusal.empty() || !c->from->access.Permits(caller)) {
        Note(c->key, now, [&] {
            return !refusal.empty() ? refusal
                                    : "refused a connection from " + caller.Describe() + ": not a user allowed to call";
        });
        Retire(c, &denied_reply_, now);
        return;
    }
    if (c->channel->KeepsOpen()) {
        c->state = State::Idle;
        Link(c, limits_.idle_timeout, now);
    } else {
        c->state = State::Reading;
        Link(c, limits_.request_timeout, now);
    }
}

void Server::Impl::Drive(Conn *c, Clock::time_point now) {
    // As far as the channel goes without waiting; then a watch for what it
    // waits for, under the deadline already running.
    bool inlined = false;
    for (;;) {
        switch (c->state) {
        case State::Establishing: {
            const Io io = c->channel->Establish();
            if (io == Io::Done) {
                Established(c, now);
                if (c->state != State::Idle && c->state != State::Reading) return;
                continue;
            }
            if (io == Io::Closed) return Failed(c, now);
            return ArmFor(c, io);
        }
        case State::Idle:
        case State::Reading: {
            bool truncated = false;
            const Io io = c->channel->Receive(scratch_, kMaxMessage, &truncated);
            if (io == Io::Done) {
                Unlink(c);
                // One exchange per turn in the loop: a peer that sends its
                // next request at once has it carried out by a worker.
                if (!inlined && AnswerHere(c, now)) {
                    inlined = true;
                    if (c->state != State::Idle) return;
                    continue;
                }
                c->request.assign(scratch_.begin(), scratch_.end());
                c->state = State::Queued;
                pool_->Submit(c);
                return;
            }
            if (io == Io::Closed) return Failed(c, now);
            if (c->state == State::Idle && c->channel->Partial()) {
                // A request has begun: it has the request deadline to come whole.
                Unlink(c);
                c->state = State::Reading;
                Link(c, limits_.request_timeout, now);
            }
            return ArmFor(c, io);
        }
        case State::Writing: {
            const Io io = c->channel->Send(c->reply.data(), c->reply.size());
            if (io == Io::WantWrite || io == Io::WantRead) return ArmFor(c, io);
            Unlink(c);
            c->reply.clear();
            if (io != Io::Done) return Close(c);
            AfterExchange(c, now);
            if (c->state != State::Idle) return;
            continue;
        }
        case State::Queued:
        case State::Lingering:
        case State::Free: return;
        }
    }
}

bool Server::Impl::AnswerHere(Conn *c, Clock::time_point now) {
    // A request that cannot wait is carried out here: the hand-over to a
    // worker and back costs more than the request itself.
    const auto started = Clock::now();
    RequestSummary summary;
    if (!HandleRequestIfQuick(svc_, c->from->access, scratch_.data(), scratch_.size(), c->channel->caller(),
                              c->reply, &summary))
        return false;
    LogRequest(summary, c->channel->caller(), started, true);
    const Io sent = c->channel->Send(c->reply.data(), c->reply.size());
    if (sent == Io::WantWrite || sent == Io::WantRead) {
        c->state = State::Writing;
        Link(c, limits_.request_timeout, now);
        ArmFor(c, sent);
        return true;
    }
    c->reply.clear();
    if (sent != Io::Done) {
        log::Debug(c->channel->caller().Describe() + " left before its reply");
        Close(c);
        return true;
    }
    AfterExchange(c, now);
    return true;
}

void Server::Impl::AfterExchange(Conn *c, Clock::time_point now) {
    if (!c->channel->KeepsOpen()) return Close(c);
    c->state = State::Idle;
    Link(c, limits_.idle_timeout, now);
}

void Server::Impl::Failed(Conn *c, Clock::time_point now) {
    // The peer left, or broke the channel: said once, the connection retired
    // (a handshake's alert and the like still reach the peer).
    const std::string &why = c->channel->failure();
    if (why.empty()) {
        Unlink(c);
        return Close(c);
    }
    Note(c->key, now, [&] { return why; });
    Retire(c, nullptr, now);
}

void Server::Impl::Arm(Conn *c, std::uint32_t events) {
    epoll_event ev{};
    ev.events = events | EPOLLONESHOT;
    ev.data.ptr = c;
    if (::epoll_ctl(epoll_fd_, c->watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, c->channel->fd(), &ev) != 0) {
        // Without a watch the connection would never be served or expire.
        Unlink(c);
        Close(c);
        return;
    }
    c->watched = true;
}

void Server::Impl::Uncount(Conn *c) {
    if (!c->counted) return;
    c->counted = false;
    Release(c->key);
}

bool Server::Impl::Reserve(const PeerKey &key) {
    std::lock_guard<std::mutex> lock(caps_mu_);
    int &mine = PeerCount(key);
    if (mine >= PeerCap(key) || total_ >= max_total_) {
        if (mine == 0) per_peer_.pop_back(); // the entry made for this check alone
        return false;
    }
    ++mine;
    ++total_;
    return true;
}

void Server::Impl::Release(const PeerKey &key) {
    std::lock_guard<std::mutex> lock(caps_mu_);
    int &mine = PeerCount(key);
    if (--mine <= 0) {
        for (auto &entry : per_peer_)
            if (entry.first == key) {
                entry = per_peer_.back();
                per_peer_.pop_back();
                break;
            }
    }
    --total_;
}

void Server::Impl::Close(Conn *c) {
    if (c->state == State::Lingering) --lingering_count_;
    Uncount(c);
    c->state = State::Free;
    c->channel.reset();
    c->request.clear();
    c->reply.clear();
    free_.push_back(c);
}

void Server::Impl::Link(Conn *c, std::chrono::milliseconds span, Clock::time_point now) {
    Timeline *line = nullptr;
    for (auto &l : timelines_)
        if (l->span == span) line = l.get();
    if (line == nullptr) {
        timelines_.push_back(std::make_unique<Timeline>());
        line = timelines_.back().get();
        line->span = span;
    }
    c->line = line;
    c->deadline = now + span;
    c->prev = line->last;
    c->next = nullptr;
    if (line->last != nullptr)
        line->last->next = c;
    else
        line->first = c;
    line->last = c;
}

void Server::Impl::Unlink(Conn *c) {
    Timeline *line = c->line;
    if (line == nullptr) return;
    (c->prev != nullptr ? c->prev->next : line->first) = c->next;
    (c->next != nullptr ? c->next->prev : line->last) = c->prev;
    c->prev = c->next = nullptr;
    c->line = nullptr;
}

void Server::Impl::Expire(Clock::time_point now) {
    for (auto &line : timelines_)
        while (line->first != nullptr && line->first->deadline <= now) {
            Conn *c = line->first;
            Unlink(c);
            OnLate(c, now);
        }
}

void Server::Impl::OnLate(Conn *c, Clock::time_point now) {
    switch (c->state) {
    case State::Idle:
        log::Debug("closing the idle connection of " + c->channel->caller().Describe());
        return Retire(c, nullptr, now);
    case State::Establishing:
    case State::Reading:
    case State::Writing: {
        const char *what = c->state == State::Establishing ? ": no handshake within "
                           : c->state == State::Reading    ? ": no whole request within "
                                                           : ": its reply not taken within ";
        const auto span = c->state == State::Establishing ? limits_.handshake_timeout : limits_.request_timeout;
        Note(c->key, now, [&] {
            return "dropped a connection from " + c->channel->caller().Describe() + what + Seconds(span);
        });
        return Close(c);
    }
    case State::Lingering:
    case State::Queued:
    case State::Free: return Close(c);
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
        case Back::Done:
            AfterExchange(c, now);
            if (c->state == State::Idle) Drive(c, now);
            break;
        case Back::Write:
            c->state = State::Writing;
            Link(c, limits_.request_timeout, now);
            Arm(c, EPOLLOUT);
            break;
        }
    }
    taken_.clear();
}

void Server::Impl::Sweep(Clock::time_point now) {
    const auto report = [](const PeerKey &key, std::uint64_t count) {
        log::Warning(key.Describe() + ": " + std::to_string(count) + " messages suppressed in the last 10 s");
    };
    const auto report_errors = [](const PeerKey &, std::uint64_t count) {
        log::Warning("serving clients: " + std::to_string(count) + " error messages suppressed in the last 10 s");
    };
    Clock::time_point errors_next;
    {
        std::lock_guard<std::mutex> lock(errors_mu_);
        errors_next = error_log_.Sweep(now, report_errors);
    }
    next_sweep_ = std::min(peer_log_.Sweep(now, report), errors_next);
}

void Server::Impl::Shutdown() {
    // New clients find no listener; those that have not sent a whole
    // request, or not taken their reply, are dropped at once.
    for (auto &lw : listeners_) lw->listener.reset();
    local_->listener.reset();
    int dropped = 0;
    for (auto &line : timelines_)
        while (line->first != nullptr) {
            Conn *c = line->first;
            Unlink(c);
            if (c->state != State::Lingering && c->state != State::Idle) ++dropped;
            Close(c);
        }
    // Requests not yet carried out are dropped as well; those in flight finish.
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
    {
        std::lock_guard<std::mutex> lock(handed_mu_);
        dropped += static_cast<int>(handed_.size());
        handed_.clear();
    }
    if (dropped > 0) log::Info("shutting down: dropped " + std::to_string(dropped) + " waiting connection(s)");
    Sweep(Clock::now() + std::chrono::hours(1));
}

void Server::Impl::Accepting(ListenerWatch *lw) {
    // Kept across callers: no allocation per request.
    std::vector<std::uint8_t> request, reply;
    request.reserve(kMaxMessage);
    while (accepting_.load()) {
        int err = 0;
        std::unique_ptr<Channel> channel = lw->listener->Accept(&err);
        if (!accepting_.load()) return;
        if (channel)
            AnswerOrHand(std::move(channel), lw, request, reply);
        else if (err != 0)
            OnAcceptorError(*lw, err);
    }
}

void Server::Impl::AnswerOrHand(std::unique_ptr<Channel> channel, ListenerWatch *lw,
                                std::vector<std::uint8_t> &request, std::vector<std::uint8_t> &reply) {
    // A caller to refuse or turn away goes to the loop before anything of it
    // is read: the loop answers it, keeps its lines to a rate and lets it
    // linger.
    if (!channel->failure().empty() || !lw->access.Permits(channel->caller()))
        return HandToLoop({std::move(channel), lw, false, false, {}, {}});
    const PeerKey key = channel->key();
    if (!Reserve(key)) return HandToLoop({std::move(channel), lw, false, false, {}, {}});
    // From here the connection holds its place in the caps: the loop takes it
    // over counted, or it is given back here.
    bool truncated = false;
    if (channel->Establish() != Io::Done) return HandToLoop({std::move(channel), lw, false, true, {}, {}});
    Io io = channel->Receive(request, kMaxMessage, &truncated);
    if (io == Io::WantRead) {
        // Woken by the connect on another CPU, this thread often runs before
        // the caller has sent what it sends next. A moment's wait is cheaper
        // than the way through the loop; a caller within its caps can hold a
        // thread that long at most.
        pollfd ready{channel->fd(), POLLIN, 0};
        if (::poll(&ready, 1, kRequestWaitMs) == 1) io = channel->Receive(request, kMaxMessage, &truncated);
    }
    // Not there yet: the loop waits for it, under the request's deadline.
    if (io == Io::WantRead || io == Io::WantWrite) return HandToLoop({std::move(channel), lw, false, true, {}, {}});
    if (io == Io::Done) {
        const auto started = Clock::now();
        RequestSummary summary;
        // Other acceptors' quick requests hold the mutex only for a moment:
        // worth a few tries before the long way through a worker.
        if (!HandleRequestIfQuick(svc_, lw->access, request.data(), request.size(), channel->caller(), reply,
                                  &summary, kQuickTries))
            return HandToLoop({std::move(channel), lw, false, true, request, {}});
        LogRequest(summary, channel->caller(), started, true);
        const Io sent = channel->Send(reply.data(), reply.size());
        if (sent == Io::WantWrite || sent == Io::WantRead)
            return HandToLoop({std::move(channel), lw, false, true, {}, reply});
        if (sent != Io::Done) log::Debug(channel->caller().Describe() + " left before its reply");
    }
    channel.reset();
    Release(key);
}

void Server::Impl::HandToLoop(Handed handed) {
    bool wake;
    {
        std::lock_guard<std::mutex> lock(handed_mu_);
        wake = handed_.empty();
        handed_.push_back(std::move(handed));
    }
    if (wake) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof one);
    }
}

void Server::Impl::OnAcceptorError(ListenerWatch &lw, int err) {
    std::string extra;
    if (auto channel = TakeWithSpare(*lw.listener, err)) {
        HandToLoop({std::move(channel), &lw, true, false, {}, {}});
        extra = "; one client turned away";
    }
    if (AllowErrorLine(Clock::now()))
        log::Error(AcceptFailed(lw.listener->Describe(), err, extra));
    else
        acceptor_noted_.store(true); // the loop's next sweep gives the count
    // The clients wait in the backlog meanwhile.
    std::this_thread::sleep_for(kBackOff);
}

void Server::Impl::Work(Conn *c) {
    const auto started = Clock::now();
    RequestSummary summary;
    // Into the connection's reply vector, kept across its requests: no
    // allocation per request.
    HandleRequest(svc_, c->from->access, c->request.data(), c->request.size(), c->channel->caller(), c->reply,
                  &summary);
    // The line before the reply leaves: whoever has the reply finds the
    // request in the log.
    LogRequest(summary, c->channel->caller(), started, true);
    const Io sent = c->channel->Send(c->reply.data(), c->reply.size());
    if (sent == Io::WantWrite) return Hand(c, Back::Write);
    c->reply.clear();
    if (sent != Io::Done) log::Debug(c->channel->caller().Describe() + " left before its reply");
    Hand(c, sent == Io::Done ? Back::Done : Back::Close);
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
void Server::Serve(std::unique_ptr<Listener> listener, AccessPolicy access) {
    impl_->Serve(std::move(listener), std::move(access));
}
std::string Server::Start(const std::string &pipe_name) { return impl_->Start(pipe_name); }
void Server::Stop() { impl_->Stop(); }

} // namespace taskd
