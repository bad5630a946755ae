// Who may receive a request. An abstract socket name has no owner: any local
// user can bind a service's name before the service does. The library sends
// a request only to a server run by root, by the caller's own effective user,
// or by the one user the caller's environment names as trusted.
#pragma once

#include <cstdint>

namespace vex::platform::posix {

// The environment variable that names one more trusted server user, by name
// or by number. Read once per process, at the first server that is neither
// root nor the caller's own user; ignored in a set-user-ID or set-group-ID
// process (secure_getenv).
inline constexpr const char *kTrustedServerUserVariable = "VEXSRV_TRUSTED_SERVER_USER";

// Returns 0 when the process serving the connected socket fd may receive a
// request, 5 (access denied) when it may not, or the error code of a failed
// look-up.
std::uint32_t CheckServerPeer(int fd);

} // namespace vex::platform::posix
