// The named-pipe transaction through CallNamedPipeA.
#include <windows.h>

#include "platform/platform.h"

namespace vex::platform {

std::uint32_t PipeTransact(const char *pipe_name, const void *request, std::uint32_t request_size, void *reply,
                           std::uint32_t reply_size, std::uint32_t *received) {
    for (;;) {
        DWORD read = 0;
        if (CallNamedPipeA(pipe_name, const_cast<void *>(request), request_size, reply, reply_size, &read,
                           NMPWAIT_WAIT_FOREVER)) {
            *received = read <= reply_size ? read : reply_size;
            return kErrorSuccess;
        }
        const DWORD error = GetLastError();
        // CallNamedPipeA waits for a free instance only once; when another
        // client takes it first the call fails busy. Waiting again keeps the
        // wait without limit.
        if (error != ERROR_PIPE_BUSY) return error;
    }
}

} // namespace vex::platform
