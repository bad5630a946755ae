#include "platform/posix/local_names.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include "platform/platform.h"
#include "util/sha256.h"

namespace vex::platform::posix {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Code page 1252's case pairs: the ASCII letters, the Latin-1 letters (×
// and ÷ have no case), and four letters that the code page moves into the
// 0x80 row (Š š, Œ œ, Ž ž, Ÿ ÿ).
constexpr std::array<unsigned char, 256> kFold = [] {
    std::array<unsigned char, 256> t{};
    for (int c = 0; c < 256; ++c) t[c] = static_cast<unsigned char>(c);
    for (int c = 'A'; c <= 'Z'; ++c) t[c] = static_cast<unsigned char>(c + 0x20);
    for (int c = 0xC0; c <= 0xDE; ++c)
        if (c != 0xD7) t[c] = static_cast<unsigned char>(c + 0x20);
    t[0x8A] = 0x9A;
    t[0x8C] = 0x9C;
    t[0x8E] = 0x9E;
    t[0x9F] = 0xFF;
    return t;
}();

// A path byte as it stands in a socket name.
char FoldPathChar(char c) {
    return c == '\\' ? '/' : static_cast<char>(kFold[static_cast<unsigned char>(c)]);
}

// Folds a path into out: eight ASCII bytes at a time (A-Z up by 0x20, "\\"
// to "/", found with word arithmetic that never carries across bytes, since
// every byte is below 0x80), other bytes one by one through the table.
// Returns the end of what was written.
char *FoldPath(std::string_view path, char *out) {
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kHigh = 0x80 * kOnes;
    constexpr std::uint64_t kLow7 = 0x7F * kOnes;
    std::size_t i = 0;
    for (; i + 8 <= path.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, path.data() + i, 8);
        if ((w & kHigh) != 0) {
            for (std::size_t k = 0; k < 8; ++k) out[i + k] = FoldPathChar(path[i + k]);
            continue;
        }
        // High bit of each byte from 'A' to 'Z'.
        const std::uint64_t upper = (w + (0x80 - 'A') * kOnes) & ~(w + (0x80 - 'Z' - 1) * kOnes) & kHigh;
        // High bit of each "\\": the bytes where w ^ "\\\\..." is zero.
        const std::uint64_t x = w ^ ('\\' * kOnes);
        const std::uint64_t slash = ~(((x & kLow7) + kLow7) | x | kLow7);
        w += upper >> 2;
        w -= (slash >> 7) * ('\\' - '/');
        std::memcpy(out + i, &w, 8);
    }
    for (; i < path.size(); ++i) out[i] = FoldPathChar(path[i]);
    return out + path.size();
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

} // namespace

bool IsLocalNode(std::string_view node) {
    if (node == "." || EqualNoCase(node, "localhost")) return true;
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) == 0 && EqualNoCase(node, host)) return true;
    char text[INET_ADDRSTRLEN] = {};
    if (node.size() >= sizeof text) return false;
    std::memcpy(text, node.data(), node.size());
    in_addr addr{};
    if (inet_pton(AF_INET, text, &addr) == 1) return (ntohl(addr.s_addr) >> 24) == 127;
    return false;
}

bool SplitObjectName(std::string_view name, std::string_view kind, std::string_view *node,
                     std::string_view *path) {
    if (name.size() < 2 || name[0] != '\\' || name[1] != '\\') return false;
    name.remove_prefix(2);
    const std::size_t end_node = name.find('\\');
    if (end_node == std::string_view::npos) return false;
    *node = name.substr(0, end_node);
    name.remove_prefix(end_node + 1);
    if (name.size() <= kind.size() || !EqualNoCase(name.substr(0, kind.size()), kind) || name[kind.size()] != '\\')
        return false;
    *path = name.substr(kind.size() + 1);
    return true;
}

unsigned char FoldNameByte(unsigned char c) { return kFold[c]; }

std::uint32_t AbstractAddress(std::string_view kind, std::string_view path, sockaddr_un *addr,
                              socklen_t *addr_len) {
    return AbstractAddress(kind, std::span<const std::string_view>(&path, 1), addr, addr_len);
}

std::uint32_t AbstractAddress(std::string_view kind, std::span<const std::string_view> path, sockaddr_un *addr,
                              socklen_t *addr_len) {
    std::size_t path_size = 0;
    for (std::string_view piece : path) path_size += piece.size();
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    if (path_size == 0) return kErrorInvalidName;
    constexpr std::string_view kRoot = "tidewell/";
    // Leading NUL: the abstract namespace, no file on disk.
    char *const name = addr->sun_path + 1;
    constexpr std::size_t kRoom = sizeof addr->sun_path - 1;
    char *p = name;
    std::memcpy(p, kRoot.data(), kRoot.size());
    p += kRoot.size();
    for (char c : kind) *p++ = static_cast<char>(kFold[static_cast<unsigned char>(c)]);
    *p++ = '/';
    const auto head = static_cast<std::size_t>(p - name);
    if (head + path_size <= kRoom) {
        for (std::string_view piece : path)
            p = FoldPath(piece, p);
        *addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + head + path_size);
        return kErrorSuccess;
    }
    util::Sha256 hash;
    hash.Update(name, head);
    char chunk[64];
    std::size_t n = 0;
    for (std::string_view piece : path) {
        for (char c : piece) {
            chunk[n++] = FoldPathChar(c);
            if (n == sizeof chunk) {
                hash.Update(chunk, n);
                n = 0;
            }
        }
    }
    if (n != 0) hash.Update(chunk, n);
    const util::Sha256::Digest digest = hash.Finish();
    std::size_t prefix = kRoom - head - 1 - kNameDigestHexDigits;
    for (std::string_view piece : path) {
        for (std::size_t i = 0; i < piece.size() && prefix != 0; ++i, --prefix) *p++ = FoldPathChar(piece[i]);
        if (prefix == 0) break;
    }
    *p++ = '\\';
    for (std::size_t i = 0; i < kNameDigestHexDigits / 2; ++i) {
        *p++ = "0123456789abcdef"[digest[i] >> 4];
        *p++ = "0123456789abcdef"[digest[i] & 0xF];
    }
    *addr_len = static_cast<socklen_t>(sizeof *addr);
    return kErrorSuccess;
}

} // namespace vex::platform::posix
