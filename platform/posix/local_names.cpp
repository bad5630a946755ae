#include "platform/posix/local_names.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstring>

#include "platform/platform.h"

namespace vex::platform::posix {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

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

std::uint32_t AbstractAddress(std::string_view kind, std::string_view path, sockaddr_un *addr,
                              socklen_t *addr_len) {
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    constexpr std::string_view kRoot = "tidewell/";
    // Leading NUL: the abstract namespace, no file on disk.
    const std::size_t needed = 1 + kRoot.size() + kind.size() + 1 + path.size();
    if (path.empty() || needed > sizeof addr->sun_path) return kErrorInvalidName;
    char *p = addr->sun_path + 1;
    std::memcpy(p, kRoot.data(), kRoot.size());
    p += kRoot.size();
    for (char c : kind) *p++ = Lower(c);
    *p++ = '/';
    for (char c : path) *p++ = c == '\\' ? '/' : Lower(c);
    *addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + needed);
    return kErrorSuccess;
}

} // namespace vex::platform::posix
