#include "platform/posix/errors.h"

#include <cerrno>
#include <cstring>

#include "platform/platform.h"
#include "util/fixed_text.h"

namespace vex::platform {
namespace {

struct ErrorRow {
    std::uint32_t code;
    const char *text;
};

// Windows' own wording for the codes this layer reports.
constexpr ErrorRow kTexts[] = {
    {0, "The operation completed successfully."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {53, "The network path was not found."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {121, "The semaphore timeout period has expired."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {183, "Cannot create a file when that file already exists."},
    {231, "All pipe instances are busy."},
    {232, "The pipe is being closed."},
    {233, "No process is on the other end of the pipe."},
    {234, "More data is available."},
    {1231, "The network location cannot be reached."},
    {1244, "The requested operation was not performed because the user has not been authenticated."},
};

} // namespace

namespace posix {

std::uint32_t Win32FromErrno(int err) {
    switch (err) {
    case 0: return kErrorSuccess;
    case ENOENT:
    case ECONNREFUSED: return kErrorFileNotFound;
    case EACCES:
    case EPERM: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case ENOMEM:
    case ENOBUFS: return kErrorNotEnoughMemory;
    case EMFILE:
    case ENFILE: return 4; // ERROR_TOO_MANY_OPEN_FILES
    case EPIPE:
    case ECONNRESET: return kErrorBrokenPipe;
    case ETIMEDOUT:
    case EAGAIN: return kErrorSemTimeout;
    case ENAMETOOLONG: return kErrorInvalidName;
    case EADDRINUSE:
    case EEXIST: return kErrorAlreadyExists;
    case EMSGSIZE: return kErrorMoreData;
    case ENETUNREACH:
    case EHOSTUNREACH: return 1231; // ERROR_NETWORK_UNREACHABLE
    default: return kErrorInvalidParameter;
    }
}

} // namespace posix

void ErrorText(std::uint32_t code, char *buffer, std::size_t size) {
    if (buffer == nullptr || size == 0) return;
    FixedText<256> text;
    const char *known = nullptr;
    for (const auto &row : kTexts)
        if (row.code == code) known = row.text;
    if (known != nullptr)
        text.Append(known);
    else
        text.Append("Unknown error ").AppendDecimal(code);
    const std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(buffer, text.c_str(), n);
    buffer[n] = 0;
}

} // namespace vex::platform
