#include "transport/probe.h"

#include <cstring>

#include "platform/platform.h"

namespace vex {
namespace {

// "." names the local node in pipe names but is no host name: a resolver
// would take it for the DNS root and ask a name server about it. No resolver
// can find it, so it is answered as not resolvable without asking one; so is
// a missing or empty name.
bool IsHostName(const char *node) {
    return node != nullptr && node[0] != 0 && std::strcmp(node, ".") != 0;
}

} // namespace

bool HostProbe(const char *node, std::uint32_t timeout_ms) {
    if (!IsHostName(node)) return true;
    return platform::EchoHost(node, timeout_ms) != platform::EchoOutcome::NoReply;
}

} // namespace vex
