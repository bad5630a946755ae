// The one seam between the library's core and the operating system. The core
// includes only this header; platform/win and platform/posix implement it.
// Every failure is reported as the Win32 error code a caller would see on
// Windows, so the core and its callers see one set of codes everywhere.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vex::platform {

// Win32 error codes that the library and its tests name.
inline constexpr std::uint32_t kErrorSuccess = 0;
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;
inline constexpr std::uint32_t kErrorBadNetPath = 53;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorBrokenPipe = 109;
inline constexpr std::uint32_t kErrorSemTimeout = 121;
inline constexpr std::uint32_t kErrorInvalidName = 123;
inline constexpr std::uint32_t kErrorAlreadyExists = 183;
inline constexpr std::uint32_t kErrorPipeBusy = 231;
inline constexpr std::uint32_t kErrorNoData = 232;
inline constexpr std::uint32_t kErrorPipeNotConnected = 233;
inline constexpr std::uint32_t kErrorMoreData = 234;

// One named-pipe transaction on "\\NODE\pipe\NAME": waits without limit for a
// free instance, writes the request as one message, reads one reply message of
// at most reply_size bytes, closes. Returns 0 when the exchange completed, else
// the system error code (234 when the reply was longer than reply_size).
std::uint32_t PipeTransact(const char *pipe_name, const void *request, std::uint32_t request_size, void *reply,
                            std::uint32_t reply_size);

// The system's text for an error code, without a trailing line break, always
// NUL-terminated within size bytes (size > 0). Safe to call from any thread.
void ErrorText(std::uint32_t code, char *buffer, std::size_t size);

// ---- Host reachability probe ------------------------------------------------

// What one ICMP echo to a node came to.
enum class EchoOutcome {
    Replied,       // an answer came: an echo reply, or an ICMP error about the echo
    NoReply,       // nothing within the time-out, or the echo could not be sent
    NotCarriedOut, // no ICMP support, name not resolvable, no resources
};

// Sends one echo of 64 bytes of 0x63 to the first IPv4 address that the host
// name resolves to and waits up to timeout_ms for the answer. The name goes to
// the system's resolver as it is: the caller keeps "." and other names that
// are not host names away from it. Safe to call from several threads at once.
EchoOutcome EchoHost(const char *host, std::uint32_t timeout_ms);

} // namespace vex::platform
