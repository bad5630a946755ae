// The threads that carry out requests. A request that waits long (a task's
// stop grace, another request on the same task) says so with a
// BlockingScope; while it waits, the pool may add a thread, so that the
// others are not held behind it. Threads added stay for later waits, up to
// the pool's most.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace taskd {

class WorkerPool {
  public:
    using Job = void *;
    using Run = void (*)(void *context, Job job);

    // core threads at first; at most max_threads.
    WorkerPool(int core, int max_threads, Run run, void *context);
    ~WorkerPool();
    WorkerPool(const WorkerPool &) = delete;
    WorkerPool &operator=(const WorkerPool &) = delete;

    void Submit(Job job);
    // Takes no more jobs, hands back those not started, and waits for the
    // threads (each finishes the job it runs).
    std::vector<Job> Stop();
    int threads() const;

  private:
    friend class BlockingScope;
    void Work();
    void BeginBlocking();
    void EndBlocking();
    void AddThreadLocked();

    const int core_;
    const int max_;
    Run run_;
    void *context_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Job> jobs_;
    std::vector<std::thread> threads_;
    int blocked_ = 0;
    bool stopping_ = false;
};

// Marks the current thread as waiting long, for the pool that runs it (no
// effect on other threads).
class BlockingScope {
  public:
    BlockingScope();
    ~BlockingScope();
    BlockingScope(const BlockingScope &) = delete;
    BlockingScope &operator=(const BlockingScope &) = delete;

  private:
    WorkerPool *pool_;
};

} // namespace taskd
