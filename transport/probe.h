// The quick reachability test that the database status operations make
// before they send anything: one ICMP echo to the node.
#pragma once

#include <cstdint>

namespace vex {

// The time the status operations give the echo.
inline constexpr std::uint32_t kProbeTimeoutMs = 2000;

// True (reachable) unless the node fails to answer an echo within timeout_ms.
// A probe that cannot be carried out (no ICMP support, a name that does not
// resolve, no resources) answers reachable, and the exchange that follows
// reports the real problem.
bool HostProbe(const char *node, std::uint32_t timeout_ms);

} // namespace vex
