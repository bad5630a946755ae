// The pipe transaction with a task service on another node: TLS 1.3 over TCP
// with this side's certificate, the service verified against the CA and the
// node's name or address. Failures are the codes a Windows caller sees for
// the same failure of a remote pipe (see docs/remote.md).
#pragma once

#include <cstdint>
#include <string_view>

namespace vex::platform::posix {

// One exchange with the service that serves pipe path on node. Returns 0 and
// the reply's length in *received, or the error code, as PipeTransact does.
std::uint32_t RemotePipeTransact(std::string_view node, std::string_view path, const void *request,
                                 std::uint32_t request_size, void *reply, std::uint32_t reply_size,
                                 std::uint32_t *received);

} // namespace vex::platform::posix
