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

// A suffix unique to this process.
std::string BenchSuffix(const char *stem);

} // namespace vex::bench
