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

} // namespace vex::platform
