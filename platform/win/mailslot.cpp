// Mailslots, the computer name and the process id through the Win32 calls.
#include <windows.h>

#include <cstdlib>

#include "platform/platform.h"

namespace vex::platform {
namespace {

HANDLE AsHandle(MailslotHandle h) {
    return reinterpret_cast<HANDLE>(h);
}
MailslotHandle FromHandle(HANDLE h) {
    return reinterpret_cast<MailslotHandle>(h);
}

} // namespace

OpenSecurity AcquireOpenSecurity() {
    OpenSecurity security;
    auto *attributes = static_cast<SECURITY_ATTRIBUTES *>(std::malloc(sizeof(SECURITY_ATTRIBUTES)));
    if (attributes == nullptr) return security; // default security
    attributes->nLength = sizeof(SECURITY_ATTRIBUTES);
    attributes->lpSecurityDescriptor = nullptr;
    attributes->bInheritHandle = FALSE;
    security.attributes = attributes;

    void *descriptor = std::malloc(SECURITY_DESCRIPTOR_MIN_LENGTH);
    if (descriptor == nullptr) return security; // the record carries no descriptor
    security.descriptor = descriptor;
    // A present, null DACL: any account may write answers into the mailslot.
    // A descriptor the system would not set up is not handed on.
    if (InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) &&
        SetSecurityDescriptorDacl(descriptor, TRUE, nullptr, FALSE)) {
        attributes->lpSecurityDescriptor = descriptor;
    }
    return security;
}

void ReleaseOpenSecurity(OpenSecurity &security) {
    std::free(security.descriptor);
    std::free(security.attributes);
    security = OpenSecurity{};
}

std::uint32_t CreateLocalMailslot(const char *path, std::uint32_t max_message, std::uint32_t read_timeout_ms,
                                  const OpenSecurity &security, MailslotHandle *out) {
    const HANDLE h =
        CreateMailslotA(path, max_message, read_timeout_ms, static_cast<SECURITY_ATTRIBUTES *>(security.attributes));
    *out = FromHandle(h);
    return h == INVALID_HANDLE_VALUE ? GetLastError() : kErrorSuccess;
}

std::uint32_t OpenMailslotForWrite(const char *path, MailslotHandle *out) {
    const HANDLE h =
        CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    *out = FromHandle(h);
    return h == INVALID_HANDLE_VALUE ? GetLastError() : kErrorSuccess;
}

std::uint32_t WriteMailslot(MailslotHandle mailslot, const void *data, std::uint32_t size) {
    DWORD written = 0;
    return WriteFile(AsHandle(mailslot), data, size, &written, nullptr) ? kErrorSuccess : GetLastError();
}

std::uint32_t ReadMailslot(MailslotHandle mailslot, void *buffer, std::uint32_t size, std::uint32_t *received) {
    DWORD got = 0;
    const BOOL ok = ReadFile(AsHandle(mailslot), buffer, size, &got, nullptr);
    // The code is taken at once, before anything else can replace it.
    const std::uint32_t error = ok ? kErrorSuccess : GetLastError();
    *received = ok ? got : 0;
    return error;
}

// The system brings answers from the network to the reply mailslot itself.
std::uint32_t ReadMailslotReply(MailslotHandle reply, MailslotHandle, std::uint32_t, void *buffer, std::uint32_t size,
                                std::uint32_t *received) {
    return ReadMailslot(reply, buffer, size, received);
}

void CloseMailslot(MailslotHandle mailslot) {
    if (mailslot != kNoMailslot) CloseHandle(AsHandle(mailslot));
}

std::uint32_t ComputerName(char *buffer, std::uint32_t *size) {
    DWORD n = *size;
    const BOOL ok = GetComputerNameA(buffer, &n);
    const std::uint32_t error = ok ? kErrorSuccess : GetLastError();
    *size = n;
    return error;
}

std::uint32_t ProcessId() {
    return GetCurrentProcessId();
}

} // namespace vex::platform
