#include "discovery/browse_packet.h"

#include <cstring>

namespace vex::discovery {
namespace {

bool HoldsNul(std::string_view s) {
    return s.find('\0') != std::string_view::npos;
}

// Copies s and its terminating NUL to out + offset.
void PutText(std::uint8_t *out, std::size_t offset, std::string_view s) {
    if (!s.empty()) std::memcpy(out + offset, s.data(), s.size());
    out[offset + s.size()] = 0;
}

// The NUL-terminated string at offset within the first limit bytes, or false
// when offset lies outside them or no NUL follows inside them.
bool TextAt(const std::uint8_t *data, std::size_t limit, std::uint32_t offset, std::string_view *out) {
    if (offset >= limit) return false;
    const void *nul = std::memchr(data + offset, 0, limit - offset);
    if (nul == nullptr) return false;
    *out = std::string_view(reinterpret_cast<const char *>(data + offset),
                            static_cast<const std::uint8_t *>(nul) - (data + offset));
    return true;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

// "\\NODE\mailslot\PATH" with a node and a path that are not empty.
bool NamesMailslot(std::string_view path) {
    if (path.size() < 2 || path[0] != '\\' || path[1] != '\\') return false;
    path.remove_prefix(2);
    const std::size_t end_node = path.find('\\');
    if (end_node == 0 || end_node == std::string_view::npos) return false;
    path.remove_prefix(end_node + 1);
    constexpr std::string_view kKind = "mailslot\\";
    return StartsWithNoCase(path, kKind) && path.size() > kKind.size();
}

} // namespace

std::size_t WriteBrowseRequest(std::string_view computer_name, std::string_view reply_path, std::uint8_t *out,
                               std::size_t capacity) {
    if (HoldsNul(computer_name) || HoldsNul(reply_path)) return 0;
    const std::size_t path_offset = kBrqHeaderSize + computer_name.size() + 1;
    const std::size_t total = path_offset + reply_path.size() + 1;
    if (total > capacity) return 0;
    std::memset(out, 0, kBrqHeaderSize);
    StoreBE32(out + kBrqFixedFirst, kBrqFixedValue);
    StoreBE32(out + kBrqFixedSecond, kBrqFixedValue);
    StoreBE32(out + kBrqNameOffset, static_cast<std::uint32_t>(kBrqHeaderSize));
    PutText(out, kBrqHeaderSize, computer_name);
    StoreBE32(out + kBrqReplyPathOffset, static_cast<std::uint32_t>(path_offset));
    PutText(out, path_offset, reply_path);
    StoreBE32(out + kBrqTotalLength, static_cast<std::uint32_t>(total));
    return total;
}

bool ParseBrowseRequest(const std::uint8_t *data, std::size_t size, BrowseRequestView *out) {
    if (data == nullptr || size < kBrqHeaderSize) return false;
    const std::uint32_t total = LoadBE32(data + kBrqTotalLength);
    if (total < kBrqHeaderSize || total > size) return false;
    const std::uint32_t name_offset = LoadBE32(data + kBrqNameOffset);
    const std::uint32_t path_offset = LoadBE32(data + kBrqReplyPathOffset);
    if (name_offset < kBrqHeaderSize || path_offset < kBrqHeaderSize) return false;
    BrowseRequestView view;
    if (!TextAt(data, total, name_offset, &view.computer_name) || !TextAt(data, total, path_offset, &view.reply_path))
        return false;
    if (!NamesMailslot(view.reply_path)) return false;
    view.fixed_first = LoadBE32(data + kBrqFixedFirst);
    view.fixed_second = LoadBE32(data + kBrqFixedSecond);
    *out = view;
    return true;
}

bool CheckBrowseReply(const std::uint8_t *buffer, std::size_t buffer_size, std::size_t received, BrowseAnswer *out) {
    if (buffer == nullptr || received > buffer_size || received < kBrpHeaderSize) return false;
    const std::uint32_t offsets[] = {LoadBE32(buffer + kBrpFirst), LoadBE32(buffer + kBrpSecond),
                                     LoadBE32(buffer + kBrpThird)};
    const char *strings[3];
    for (int i = 0; i < 3; ++i) {
        // Offsets count only within the bytes received; the string may end in
        // the zeroed rest of the buffer.
        if (offsets[i] >= received) return false;
        if (std::memchr(buffer + offsets[i], 0, buffer_size - offsets[i]) == nullptr) return false;
        strings[i] = reinterpret_cast<const char *>(buffer + offsets[i]);
    }
    *out = BrowseAnswer{strings[0], strings[1], strings[2]};
    return true;
}

std::size_t WriteBrowseReply(std::string_view first, std::string_view second, std::string_view third, std::uint8_t *out,
                             std::size_t capacity) {
    if (HoldsNul(first) || HoldsNul(second) || HoldsNul(third)) return 0;
    const std::size_t second_offset = kBrpHeaderSize + first.size() + 1;
    const std::size_t third_offset = second_offset + second.size() + 1;
    const std::size_t total = third_offset + third.size() + 1;
    if (total > capacity || total > kBrowseReplyMax) return 0;
    std::memset(out, 0, kBrpHeaderSize);
    StoreBE32(out + kBrpTotalLength, static_cast<std::uint32_t>(total));
    StoreBE32(out + kBrpFirst, static_cast<std::uint32_t>(kBrpHeaderSize));
    StoreBE32(out + kBrpSecond, static_cast<std::uint32_t>(second_offset));
    StoreBE32(out + kBrpThird, static_cast<std::uint32_t>(third_offset));
    PutText(out, kBrpHeaderSize, first);
    PutText(out, second_offset, second);
    PutText(out, third_offset, third);
    return total;
}

} // namespace vex::discovery
