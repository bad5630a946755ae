// The browse messages' readers over any bytes: the request parser that a
// responder runs on whatever reaches the browse mailslot, and the answer check
// that stands between the reply mailslot and the caller's callback. Beyond the
// sanitizers' checks, every accepted input must keep its strings inside the
// bytes, and an accepted request must survive being written again.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "discovery/browse_packet.h"

namespace {

using namespace vex::discovery;

void Require(bool ok) {
    if (!ok) __builtin_trap();
}

bool Inside(const void *p, const std::uint8_t *begin, std::size_t size) {
    const auto *b = static_cast<const std::uint8_t *>(p);
    return b >= begin && b < begin + size;
}

void Request(const std::uint8_t *data, std::size_t size) {
    BrowseRequestView view;
    if (!ParseBrowseRequest(data, size, &view)) return;
    const std::size_t total = LoadBE32(data + kBrqTotalLength);
    Require(total <= size);
    for (std::string_view s : {view.computer_name, view.reply_path}) {
        Require(Inside(s.data(), data, total));
        Require(s.data() + s.size() < reinterpret_cast<const char *>(data) + total);
        Require(s.data()[s.size()] == 0);
    }
    Require(view.reply_path.substr(0, 2) == "\\\\");
    std::uint8_t again[512];
    const std::size_t n = WriteBrowseRequest(view.computer_name, view.reply_path, again, sizeof again);
    if (n == 0) return;
    BrowseRequestView second;
    Require(ParseBrowseRequest(again, n, &second));
    Require(second.computer_name == view.computer_name && second.reply_path == view.reply_path);
    Require(second.fixed_first == kBrqFixedValue && second.fixed_second == kBrqFixedValue);
}

void Reply(const std::uint8_t *data, std::size_t size) {
    // As the broadcast reads: a zeroed buffer, then the bytes received.
    std::uint8_t buffer[kReceiveBufferSize] = {};
    std::memcpy(buffer, data, size < sizeof buffer ? size : sizeof buffer);
    BrowseAnswer answer;
    if (!CheckBrowseReply(buffer, sizeof buffer, size, &answer)) return;
    Require(size <= sizeof buffer && size >= kBrpHeaderSize);
    for (const char *s : {answer.first, answer.second, answer.third}) {
        Require(Inside(s, buffer, size));
        Require(std::memchr(s, 0, buffer + sizeof buffer - reinterpret_cast<const std::uint8_t *>(s)) != nullptr);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Request(data, size);
    Reply(data, size);
    return 0;
}
