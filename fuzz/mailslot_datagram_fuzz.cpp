// The network mailslot datagram's reader over any bytes, as every node's
// browse port and every broadcast's socket run it on whatever arrives. Beyond
// the sanitizers' checks: an accepted datagram's path and message lie inside
// it, the path is one a writer may send, the lengths add up, and writing it
// again gives the same bytes. Its message then goes on to the browse readers.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "discovery/browse_packet.h"
#include "platform/posix/mailslot_datagram.h"

namespace {

using namespace vex::platform::posix;

void Require(bool ok) {
    if (!ok) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    MailslotDatagram d;
    if (!ParseMailslotDatagram(data, size, &d)) return 0;
    const char *begin = reinterpret_cast<const char *>(data);
    Require(d.path.data() >= begin && d.path.data() + d.path.size() <= begin + size);
    Require(d.message.data() >= begin && d.message.data() + d.message.size() <= begin + size);
    Require(kDatagramHeaderSize + d.path.size() + d.message.size() == size);
    Require(ValidDatagramPath(d.path) && d.message.size() <= kMaxDatagramMessage);

    std::uint8_t again[kMaxDatagramSize];
    const std::size_t n = WriteMailslotDatagram(d.path, d.message.data(), d.message.size(), again, sizeof again);
    Require(n == size && std::memcmp(again, data, size) == 0);

    // What the receivers do next with the message.
    const auto *message = reinterpret_cast<const std::uint8_t *>(d.message.data());
    vex::discovery::BrowseRequestView request;
    (void)vex::discovery::ParseBrowseRequest(message, d.message.size(), &request);
    std::uint8_t buffer[vex::discovery::kReceiveBufferSize] = {};
    std::memcpy(buffer, message, d.message.size() < sizeof buffer ? d.message.size() : sizeof buffer);
    vex::discovery::BrowseAnswer answer;
    (void)vex::discovery::CheckBrowseReply(buffer, sizeof buffer, d.message.size(), &answer);
    return 0;
}
