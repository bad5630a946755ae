// The frame of one exported operation: its two records, the caller's result
// channels, local refusals, the exchange and the standard way of handing the
// reply back. Every exchanging export is written on top of it.
#pragma once

#include <cstdint>
#include <string_view>

#include "transport/record.h"
#include "transport/transaction.h"

namespace vex {

// The caller's result channels. Null value or status pointers are tolerated:
// that output is simply not written.
struct Outputs {
    std::int32_t *value;
    std::int32_t *status;
    char *message;
    std::int32_t message_length;
};

// Whether the operation clears the first byte of the message buffer on entry.
enum class MessageOnEntry { Clear, Keep };
// Whether the transaction reports a failed exchange itself (with result
// channels) or leaves it to the operation, which then gives the system's text
// for every code, a missing pipe included (without result channels).
enum class Channels { With, Without };
// When the reply's text reaches the message buffer.
enum class TextCopy { WhenNotEmpty, WhenValueNonZero };

inline constexpr std::string_view kNodeMissing = "node name should be defined";
inline constexpr std::string_view kAddressTooLong = "Node name and service suffix are too long for a pipe name";

// Writes an output the caller may have left null.
inline void Set(std::int32_t *out, std::int32_t v) {
    if (out != nullptr) *out = v;
}

class Operation {
  public:
    Operation(const char *node, const char *suffix, const Outputs &out, std::size_t reply_size,
              MessageOnEntry on_entry = MessageOnEntry::Clear);

    Operation(const Operation &) = delete;
    Operation &operator=(const Operation &) = delete;

    TaskServiceRequest &request() { return request_; }
    TaskServiceReply &reply() { return reply_; }
    const char *suffix() const { return suffix_; }
    const Outputs &outputs() const { return out_; }

    // A local refusal: the fixed text to the message buffer, nothing sent,
    // neither value nor status written. Returns the operation's result, 0.
    std::int32_t Refuse(std::string_view text) const;

    // Runs the exchange after checking the address. Returns true when it
    // completed; on failure the status and message are already reported.
    bool Exchange(Channels channels = Channels::With);

    // Copies text to the message buffer when it is not empty.
    void CopyText(std::string_view text) const;
    void SetValue(std::int32_t v) const { Set(out_.value, v); }
    void SetStatus(std::int32_t s) const { Set(out_.status, s); }
    // 1 when the reply's status is 0.
    std::int32_t Result() const { return reply_.Status() == 0 ? 1 : 0; }

    // The common ending after a completed exchange: value and status from the
    // reply, the reply's text by the rule, 1 when the status is 0.
    std::int32_t Finish(TextCopy rule = TextCopy::WhenNotEmpty);

    // Exchange then Finish: the whole life of most operations.
    std::int32_t Run(Channels channels = Channels::With, TextCopy rule = TextCopy::WhenNotEmpty);

  private:
    const char *node_;
    const char *suffix_;
    Outputs out_;
    TaskServiceRequest request_;
    // Read only after a completed exchange.
    TaskServiceReply reply_;
    bool reply_cleared_ = false;
};

} // namespace vex
