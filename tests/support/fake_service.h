// A scriptable task service for tests: serves the pipe of one suffix on the
// local node, records every request byte for byte and answers each request
// with the next scripted reply (any length), or closes without answering.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/pipe_server.h"

namespace vex::test {

// A reply record of the given size with status, value and text filled.
std::vector<std::uint8_t> MakeReply(std::int32_t status, std::int32_t value, const std::string &text,
                                    std::size_t size = 536);

// A service suffix unique to this process and call, so tests never share pipes.
std::string UniqueSuffix(const std::string &stem = "t");

class FakeService {
  public:
    explicit FakeService(std::string suffix = UniqueSuffix());
    ~FakeService();
    FakeService(const FakeService &) = delete;
    FakeService &operator=(const FakeService &) = delete;

    const std::string &suffix() const { return suffix_; }

    // Queues the reply to the next request. Without a script the service
    // answers 536 zero bytes (status 0, value 0, no text).
    void Script(std::vector<std::uint8_t> reply);
    void Script(std::int32_t status, std::int32_t value, const std::string &text, std::size_t size = 536) {
        Script(MakeReply(status, value, text, size));
    }
    // Queues a hang-up without an answer.
    void ScriptHangUp();

    // The requests received so far, in order.
    std::vector<std::vector<std::uint8_t>> Requests() const;
    std::size_t RequestCount() const;

  private:
    void Serve();

    std::string suffix_;
    std::unique_ptr<platform::PipeServer> server_;
    mutable std::mutex mu_;
    std::deque<std::vector<std::uint8_t>> script_; // empty entry = hang up
    std::deque<bool> hang_up_;
    std::vector<std::vector<std::uint8_t>> requests_;
    std::thread thread_;
};

} // namespace vex::test
