#include "service/worker_pool.h"

#include <exception>

#include "service/log.h"

namespace taskd {
namespace {

thread_local WorkerPool *t_pool = nullptr;

} // namespace

WorkerPool::WorkerPool(int core, int max_threads, Run run, void *context)
    : core_(core < 1 ? 1 : core), max_(max_threads < core_ ? core_ : max_threads), run_(run), context_(context) {
    std::lock_guard<std::mutex> lock(mu_);
    for (int i = 0; i < core_; ++i) AddThreadLocked();
}

WorkerPool::~WorkerPool() { Stop(); }

void WorkerPool::AddThreadLocked() {
    threads_.emplace_back([this] {
        t_pool = this;
        Work();
    });
}

void WorkerPool::Submit(Job job) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        jobs_.push_back(job);
    }
    cv_.notify_one();
}

std::vector<WorkerPool::Job> WorkerPool::Stop() {
    std::vector<Job> left;
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
        left.assign(jobs_.begin(), jobs_.end());
        jobs_.clear();
    }
    cv_.notify_all();
    // Threads are added only under the lock and never once stopping: the
    // list is complete when taken.
    {
        std::lock_guard<std::mutex> lock(mu_);
        threads.swap(threads_);
    }
    for (std::thread &t : threads) t.join();
    return left;
}

int WorkerPool::threads() const {
    std::lock_guard<std::mutex> lock(mu_);
    return static_cast<int>(threads_.size());
}

void WorkerPool::Work() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        cv_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (stopping_) return;
        const Job job = jobs_.front();
        jobs_.pop_front();
        lock.unlock();
        // A serving thread never ends silently: what escapes a job is logged
        // and the thread goes on.
        try {
            run_(context_, job);
        } catch (const std::exception &e) {
            log::Error(std::string("a request ended with an exception: ") + e.what());
        } catch (...) {
            log::Error("a request ended with an unknown exception");
        }
        lock.lock();
    }
}

void WorkerPool::BeginBlocking() {
    std::lock_guard<std::mutex> lock(mu_);
    ++blocked_;
    const int free_threads = static_cast<int>(threads_.size()) - blocked_;
    if (!stopping_ && free_threads < core_ && static_cast<int>(threads_.size()) < max_) {
        try {
            AddThreadLocked();
        } catch (const std::exception &e) {
            log::Warning(std::string("cannot add a request thread: ") + e.what());
        }
    }
}

void WorkerPool::EndBlocking() {
    std::lock_guard<std::mutex> lock(mu_);
    --blocked_;
}

BlockingScope::BlockingScope() : pool_(t_pool) {
    if (pool_ != nullptr) pool_->BeginBlocking();
}

BlockingScope::~BlockingScope() {
    if (pool_ != nullptr) pool_->EndBlocking();
}

} // namespace taskd
