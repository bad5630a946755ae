// A stand-in for the task services that answer a broadcast: it holds the
// local browse mailslot "\\.\mailslot\Tidewell\Browse", records every request
// of the process it serves and answers each well-formed one with the scripted
// messages, in order, on the reply path that the request names.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace vex::test {

class BrowseResponder {
  public:
    using Bytes = std::vector<std::uint8_t>;

    // Where answers go.
    enum class ReplyNode {
        AsSent, // the node named in the request's reply path
        Local,  // "." in its place: under Wine only "\\.\" reaches a mailslot
    };

    // The browse mailslot's name is fixed, so test programs running at the
    // same time take turns: this waits (up to a minute) while another
    // process holds it, and throws when it cannot be had. Any process of
    // the machine may broadcast meanwhile, so only well-formed requests whose
    // reply path ends in this process's id (in hexadecimal) count.
    explicit BrowseResponder(std::vector<Bytes> answers = {}, ReplyNode reply_node = DefaultReplyNode());
    ~BrowseResponder();
    BrowseResponder(const BrowseResponder &) = delete;
    BrowseResponder &operator=(const BrowseResponder &) = delete;

    static ReplyNode DefaultReplyNode() {
#if defined(_WIN32)
        return ReplyNode::Local;
#else
        return ReplyNode::AsSent;
#endif
    }

    // The requests of this process received so far, byte for byte.
    std::vector<Bytes> Requests() const;
    // Waits until count requests have come (at most about 10 s) and returns
    // how many did.
    std::size_t WaitForRequests(std::size_t count) const;
    // The system error codes of answers that could not be delivered.
    std::vector<std::uint32_t> AnswerErrors() const;

  private:
    void Serve();
    bool FromThisProcess(const Bytes &request) const;
    void Answer(const Bytes &request);

    std::vector<Bytes> answers_;
    ReplyNode reply_node_;
    platform::MailslotHandle browse_ = platform::kNoMailslot;
    mutable std::mutex mu_;
    std::vector<Bytes> requests_;
    std::vector<std::uint32_t> answer_errors_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace vex::test
