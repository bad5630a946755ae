// How Win32 object names of the local node map to POSIX objects: a pipe or
// mailslot "\\NODE\KIND\PATH" on the local node is the abstract AF_UNIX socket
// "tidewell/KIND/path" (backslashes as "/", folded to lower case, since Win32
// pipe and mailslot names ignore case). Shared by the library's client side
// and by the servers that answer it.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <string_view>

namespace vex::platform::posix {

// Whether a node name denotes this machine: ".", "localhost", this host's
// name (case-insensitive) or an IPv4 address in 127.0.0.0/8.
bool IsLocalNode(std::string_view node);

// Splits "\\NODE\KIND\PATH" (KIND case-insensitive). False when the name has
// another shape.
bool SplitObjectName(std::string_view name, std::string_view kind, std::string_view *node,
                     std::string_view *path);

// Fills the abstract socket address for KIND and PATH. Returns 0, or the Win32
// error code 123 when the path does not fit a socket name.
std::uint32_t AbstractAddress(std::string_view kind, std::string_view path, sockaddr_un *addr,
                              socklen_t *addr_len);

} // namespace vex::platform::posix
