// A raw echo server for the benchmarks: answers every request with a fixed
// reply at once, from as many threads as asked, so the measured cost is the
// client's and the transport's.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <sys/un.h>
#endif

#include "platform/pipe_server.h"

namespace vex::bench {

class EchoServer {
  public:
    EchoServer(const std::string &suffix, int threads);
    ~EchoServer();
    const std::string &suffix() const { return suffix_; }

  private:
    void Serve();
    std::string suffix_;
    std::unique_ptr<platform::PipeServer> server_;
    std::vector<std::thread> threads_;
};

// The least any client of the task-service pipe of suffix does: one
// transaction of the bytes it is given. With check_server it also asks who
// serves the socket between connect and request, as the library must on
// POSIX (a Windows pipe has an owner: nothing to ask there).
class BareClient {
  public:
    BareClient(const std::string &suffix, bool check_server);
    bool Call(const void *request, std::size_t size, void *reply, std::size_t reply_size) const;

  private:
#if defined(_WIN32)
    std::string name_;
#else
    sockaddr_un addr_{};
    socklen_t len_ = 0;
    bool check_server_;
#endif
};

// A suffix unique to this process.
std::string BenchSuffix(const char *stem);

} // namespace vex::bench
