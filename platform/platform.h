// The one seam between the library's core and the operating system. The core
// includes only this header; platform/win and platform/posix implement it.
// Every failure is reported as the Win32 error code a caller would see on
// Windows, so the core and its callers see one set of codes everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

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
inline constexpr std::uint32_t kErrorBufferOverflow = 111;
inline constexpr std::uint32_t kErrorSemTimeout = 121;
inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;
inline constexpr std::uint32_t kErrorInvalidName = 123;
inline constexpr std::uint32_t kErrorAlreadyExists = 183;
inline constexpr std::uint32_t kErrorPipeBusy = 231;
inline constexpr std::uint32_t kErrorNoData = 232;
inline constexpr std::uint32_t kErrorPipeNotConnected = 233;
inline constexpr std::uint32_t kErrorMoreData = 234;
inline constexpr std::uint32_t kErrorNotAuthenticated = 1244;

// One named-pipe transaction on "\\NODE\pipe\NAME": waits without limit for a
// free instance, writes the request as one message, reads one reply message of
// at most reply_size bytes, closes. Returns 0 when the exchange completed and
// the reply's length in *received, else the system error code (234 when the
// reply was longer than reply_size) and *received unspecified.
std::uint32_t PipeTransact(const char *pipe_name, const void *request, std::uint32_t request_size, void *reply,
                           std::uint32_t reply_size, std::uint32_t *received);
// The same transaction on "\\NODE\pipe\" followed by the path's pieces, with
// node and path given apart: where pipes are not addressed by that name (not
// on Windows), composing it only to split it again would be wasted work. Only
// where kPipeTakesNodeAndPath; elsewhere the caller composes the name for
// PipeTransact.
std::uint32_t PipeTransactAt(std::string_view node, std::span<const std::string_view> path, const void *request,
                             std::uint32_t request_size, void *reply, std::uint32_t reply_size,
                             std::uint32_t *received);
#if defined(_WIN32)
// CallNamedPipeA takes the pipe by its name.
inline constexpr bool kPipeTakesNodeAndPath = false;
#else
inline constexpr bool kPipeTakesNodeAndPath = true;
#endif

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

// ---- Mailslots and the local computer ---------------------------------------

// One end of a mailslot: the HANDLE on Windows, a socket elsewhere.
using MailslotHandle = std::intptr_t;
inline constexpr MailslotHandle kNoMailslot = -1; // INVALID_HANDLE_VALUE
// Read time-out of a mailslot that waits for a message without limit.
inline constexpr std::uint32_t kMailslotWaitForever = 0xFFFFFFFF;

// Security that lets every account write into a mailslot: an attributes
// record and a descriptor with a present, null DACL, both on the heap. When
// the record cannot be allocated both are null (default security); when only
// the descriptor cannot, the record carries none. Elsewhere than on Windows
// the mailslot is open to every local account anyway and both stay null.
struct OpenSecurity {
    void *attributes = nullptr;
    void *descriptor = nullptr;
};
OpenSecurity AcquireOpenSecurity();
// Frees the descriptor, then the record.
void ReleaseOpenSecurity(OpenSecurity &security);

// Creates the server end of the local mailslot "\\.\mailslot\PATH": messages of
// at most max_message bytes (0: any size), reads that wait at most
// read_timeout_ms (0: not at all; kMailslotWaitForever: without limit).
// Returns 0, or the error code (183 when the name is taken).
std::uint32_t CreateLocalMailslot(const char *path, std::uint32_t max_message, std::uint32_t read_timeout_ms,
                                  const OpenSecurity &security, MailslotHandle *out);
// Opens "\\NODE\mailslot\PATH" for writing, as CreateFileA does with
// GENERIC_WRITE, FILE_SHARE_READ and OPEN_ALWAYS. Returns 0 or the error code
// (2 when a local mailslot of that name does not exist; 53 when NODE cannot be
// found). "\\*\" reaches this node and every node the network's broadcast
// reaches; another node's name reaches that node.
std::uint32_t OpenMailslotForWrite(const char *path, MailslotHandle *out);
// Writes one message. Returns 0 or the error code.
std::uint32_t WriteMailslot(MailslotHandle mailslot, const void *data, std::uint32_t size);
// Reads the next message into buffer, waiting as the mailslot was created to.
// Returns 0 and its length in *received, or the error code (121 when nothing
// came within the read time-out).
std::uint32_t ReadMailslot(MailslotHandle mailslot, void *buffer, std::uint32_t size, std::uint32_t *received);
// Reads the next answer for the reply mailslot of a request sent through
// writer: a message of the reply mailslot or, where the system does not bring
// them there itself (elsewhere than on Windows), a message for that mailslot
// of at most max_message bytes that came back over the network to the socket
// the request left from. Waits as the reply mailslot was created to, for
// either; returns as ReadMailslot.
std::uint32_t ReadMailslotReply(MailslotHandle reply, MailslotHandle writer, std::uint32_t max_message, void *buffer,
                                std::uint32_t size, std::uint32_t *received);
// Closes either end; kNoMailslot is ignored.
void CloseMailslot(MailslotHandle mailslot);

// The local computer name, as GetComputerNameA gives it: *size is the room in
// buffer on entry and the name's length on success. Returns 0 or the error
// code (111 when the room is too small, with the room needed in *size).
std::uint32_t ComputerName(char *buffer, std::uint32_t *size);
std::uint32_t ProcessId();

} // namespace vex::platform
