// The echo of the reachability probe through the ICMP helper functions, which
// are looked up at run time, once per process.
// Windows Sockets before the rest of the system headers.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <new>

#include "platform/platform.h"

namespace vex::platform {
namespace {

// The three ICMP helper functions, by their documented signatures. The
// address is an IPv4 address in network byte order; the options pointer is
// always null here.
using IcmpCreateFileFn = HANDLE(WINAPI *)();
using IcmpSendEchoFn = DWORD(WINAPI *)(HANDLE, ULONG, LPVOID, WORD, LPVOID, LPVOID, DWORD, DWORD);
using IcmpCloseHandleFn = BOOL(WINAPI *)(HANDLE);

struct IcmpEntryPoints {
    IcmpCreateFileFn create = nullptr;
    IcmpSendEchoFn send = nullptr;
    IcmpCloseHandleFn close = nullptr;
};

// Process-wide: once present they stay, with their library, for the life of
// the process. The state moves Absent -> Publishing -> Present once; a thread
// that reads Present (acquire) sees all three addresses, stored before it
// (release).
enum : int { kAbsent, kPublishing, kPresent };
std::atomic<int> g_icmp_state{kAbsent};
std::atomic<IcmpCreateFileFn> g_icmp_create{nullptr};
std::atomic<IcmpSendEchoFn> g_icmp_send{nullptr};
std::atomic<IcmpCloseHandleFn> g_icmp_close{nullptr};

template <typename Fn> Fn Lookup(HMODULE module, const char *name) {
    // Through void (*)(), which converts to and from every function type.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Looks the three functions up in one library. On success the library stays
// loaded; otherwise nothing is kept.
bool FindIn(const char *library, IcmpEntryPoints *found) {
    HMODULE module = LoadLibraryA(library);
    if (module == nullptr) return false;
    found->create = Lookup<IcmpCreateFileFn>(module, "IcmpCreateFile");
    found->send = Lookup<IcmpSendEchoFn>(module, "IcmpSendEcho");
    found->close = Lookup<IcmpCloseHandleFn>(module, "IcmpCloseHandle");
    if (found->create != nullptr && found->send != nullptr && found->close != nullptr) return true;
    *found = IcmpEntryPoints{};
    FreeLibrary(module);
    return false;
}

// The entry points, from "iphlpapi.dll" or else "icmp.dll". When neither has
// all three nothing is remembered, and the next probe looks again.
bool LoadIcmpEntryPoints(IcmpEntryPoints *icmp) {
    if (g_icmp_state.load(std::memory_order_acquire) == kPresent) {
        icmp->create = g_icmp_create.load(std::memory_order_relaxed);
        icmp->send = g_icmp_send.load(std::memory_order_relaxed);
        icmp->close = g_icmp_close.load(std::memory_order_relaxed);
        return true;
    }
    IcmpEntryPoints found;
    if (!FindIn("iphlpapi.dll", &found) && !FindIn("icmp.dll", &found)) return false;
    // Only the first finder publishes. Threads that found them at the same
    // time use their own copies; their library references simply stay.
    int expected = kAbsent;
    if (g_icmp_state.compare_exchange_strong(expected, kPublishing, std::memory_order_relaxed)) {
        g_icmp_create.store(found.create, std::memory_order_relaxed);
        g_icmp_send.store(found.send, std::memory_order_relaxed);
        g_icmp_close.store(found.close, std::memory_order_relaxed);
        g_icmp_state.store(kPresent, std::memory_order_release);
    }
    *icmp = found;
    return true;
}

// 64 bytes of the letter c.
constexpr WORD kEchoDataSize = 64;
constexpr unsigned char kEchoFill = 0x63;
// One reply record (28 bytes in a 32-bit process), the echoed data and 8 more.
constexpr DWORD kReplyBufferSize = 100;

// The probe between the start and the end of the caller's Windows Sockets use.
EchoOutcome EchoWithSockets(const IcmpEntryPoints &icmp, const char *host, std::uint32_t timeout_ms) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo *list = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &list) != 0 || list == nullptr) return EchoOutcome::NotCarriedOut;
    const bool usable =
        list->ai_addr != nullptr && list->ai_addr->sa_family == AF_INET && list->ai_addrlen >= sizeof(sockaddr_in);
    ULONG address = 0;
    if (usable) address = reinterpret_cast<const sockaddr_in *>(list->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(list);
    if (!usable) return EchoOutcome::NotCarriedOut;

    // Without a reply buffer the echo cannot be carried out.
    std::unique_ptr<unsigned char[]> reply(new (std::nothrow) unsigned char[kReplyBufferSize]);
    if (!reply) return EchoOutcome::NotCarriedOut;
    unsigned char data[kEchoDataSize];
    std::memset(data, kEchoFill, sizeof data);

    HANDLE handle = icmp.create();
    if (handle == INVALID_HANDLE_VALUE) return EchoOutcome::NotCarriedOut;
    // Any answer counts, whatever status it records: only "no reply" is unreachable.
    const DWORD replies =
        icmp.send(handle, address, data, kEchoDataSize, nullptr, reply.get(), kReplyBufferSize, timeout_ms);
    icmp.close(handle);
    return replies != 0 ? EchoOutcome::Replied : EchoOutcome::NoReply;
}

} // namespace

EchoOutcome EchoHost(const char *host, std::uint32_t timeout_ms) {
    IcmpEntryPoints icmp;
    if (!LoadIcmpEntryPoints(&icmp)) return EchoOutcome::NotCarriedOut;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 1), &wsa) != 0) return EchoOutcome::NotCarriedOut;
    const EchoOutcome outcome = EchoWithSockets(icmp, host, timeout_ms);
    WSACleanup();
    return outcome;
}

} // namespace vex::platform
