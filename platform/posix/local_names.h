// How Win32 object names of the local node map to POSIX objects: a pipe or
// mailslot "\\NODE\KIND\PATH" on the local node is the abstract AF_UNIX socket
// "tidewell/KIND/path" (backslashes as "/", folded to lower case as Windows
// compares names in code page 1252, since Win32 pipe and mailslot names
// ignore case). A name too long for a socket address keeps a readable prefix
// and ends in a digest of the whole name. Shared by the library's client side
// and by the servers that answer it: both ends must map a name alike.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <span>
#include <string_view>

namespace vex::platform::posix {

// Whether a node name denotes this machine: ".", "localhost", this host's
// name (case-insensitive) or an IPv4 address in 127.0.0.0/8.
bool IsLocalNode(std::string_view node);

// Splits "\\NODE\KIND\PATH" (KIND case-insensitive). False when the name has
// another shape.
bool SplitObjectName(std::string_view name, std::string_view kind, std::string_view *node,
                     std::string_view *path);

// A name byte folded as Windows folds names of code page 1252: A-Z, and the
// upper-half letters with a case partner in the code page (À-Þ but ×, Š, Œ,
// Ž, Ÿ), to lower case; every other byte is itself.
unsigned char FoldNameByte(unsigned char c);

// Hex digits (160 bits of SHA-256) that end a name too long for a socket
// address.
inline constexpr std::size_t kNameDigestHexDigits = 40;

// Fills the abstract socket address for KIND and PATH: "tidewell/kind/path"
// folded when it fits; otherwise the folded name cut so that "\" and 40 hex
// digits of the SHA-256 of the whole folded name fill the address (a folded
// name has no "\", so the two forms never meet). Returns 0, or the Win32
// error code 123 for an empty path.
std::uint32_t AbstractAddress(std::string_view kind, std::string_view path, sockaddr_un *addr,
                              socklen_t *addr_len);
// The same for the path made of the pieces one after another, folded into
// the address in one pass without being put together first.
std::uint32_t AbstractAddress(std::string_view kind, std::span<const std::string_view> path, sockaddr_un *addr,
                              socklen_t *addr_len);

} // namespace vex::platform::posix
