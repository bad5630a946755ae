#include "platform/posix/mailslot_datagram.h"

#include <cstdlib>
#include <cstring>

namespace vex::platform::posix {
namespace {

constexpr std::uint8_t kMagic[4] = {'T', 'W', 'M', 'S'};

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

} // namespace

std::uint16_t NetworkMailslotPort() {
    const char *text = std::getenv("VEXSRV_BROWSE_PORT");
    if (text == nullptr || *text == 0) return kDefaultMailslotPort;
    char *end = nullptr;
    const unsigned long port = std::strtoul(text, &end, 10);
    if (*end != 0 || text[0] == '-' || text[0] == '+' || port > 65535) return kDefaultMailslotPort;
    return static_cast<std::uint16_t>(port);
}

bool ValidDatagramPath(std::string_view path) {
    if (path.empty() || path.size() > kMaxDatagramPath) return false;
    for (char c : path) {
        // "/" would name the same local socket as "\": one spelling only.
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '/') return false;
    }
    return true;
}

std::size_t WriteMailslotDatagram(std::string_view path, const void *message, std::size_t message_size,
                                  std::uint8_t *out, std::size_t capacity) {
    if (!ValidDatagramPath(path) || message_size > kMaxDatagramMessage) return 0;
    const std::size_t total = kDatagramHeaderSize + path.size() + message_size;
    if (out == nullptr || total > capacity) return 0;
    std::memcpy(out + kDgMagic, kMagic, sizeof kMagic);
    out[kDgVersion] = kDatagramVersion;
    out[kDgPathLength] = static_cast<std::uint8_t>(path.size());
    out[kDgMessageLength] = static_cast<std::uint8_t>(message_size >> 8);
    out[kDgMessageLength + 1] = static_cast<std::uint8_t>(message_size);
    std::memcpy(out + kDatagramHeaderSize, path.data(), path.size());
    if (message_size != 0) std::memcpy(out + kDatagramHeaderSize + path.size(), message, message_size);
    return total;
}

bool ParseMailslotDatagram(const std::uint8_t *data, std::size_t size, MailslotDatagram *out) {
    if (data == nullptr || size < kDatagramHeaderSize || size > kMaxDatagramSize) return false;
    if (std::memcmp(data + kDgMagic, kMagic, sizeof kMagic) != 0 || data[kDgVersion] != kDatagramVersion) return false;
    const std::size_t path_length = data[kDgPathLength];
    const std::size_t message_length =
        static_cast<std::size_t>(data[kDgMessageLength]) << 8 | data[kDgMessageLength + 1];
    if (message_length > kMaxDatagramMessage || kDatagramHeaderSize + path_length + message_length != size)
        return false;
    const std::string_view path(reinterpret_cast<const char *>(data + kDatagramHeaderSize), path_length);
    if (!ValidDatagramPath(path)) return false;
    out->path = path;
    out->message = std::string_view(reinterpret_cast<const char *>(data + kDatagramHeaderSize + path_length),
                                    message_length);
    return true;
}

bool SameMailslotPath(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

} // namespace vex::platform::posix
