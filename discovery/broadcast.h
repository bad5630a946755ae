// VexSrv_Broadcast's work, over a table of the system calls it makes, so that
// tests can stand in for the system and fail any step.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/platform.h"
#include "vexsrvapi.h"

namespace vex::discovery {

// The calls of one broadcast, in the order of use; each mirrors the platform
// function of the same name (read: ReadMailslotReply).
struct BroadcastSystem {
    std::uint32_t (*computer_name)(char *buffer, std::uint32_t *size);
    std::uint32_t (*process_id)();
    platform::OpenSecurity (*acquire_security)();
    void (*release_security)(platform::OpenSecurity &security);
    std::uint32_t (*create_mailslot)(const char *path, std::uint32_t max_message, std::uint32_t read_timeout_ms,
                                     const platform::OpenSecurity &security, platform::MailslotHandle *out);
    std::uint32_t (*open_for_write)(const char *path, platform::MailslotHandle *out);
    std::uint32_t (*write)(platform::MailslotHandle mailslot, const void *data, std::uint32_t size);
    std::uint32_t (*read)(platform::MailslotHandle reply, platform::MailslotHandle writer, std::uint32_t max_message,
                          void *buffer, std::uint32_t size, std::uint32_t *received);
    void (*close)(platform::MailslotHandle mailslot);
};

// The platform's own calls.
const BroadcastSystem &SystemCalls();

// Room for GetComputerNameA: 34 characters and the terminator.
inline constexpr std::uint32_t kComputerNameRoom = 35;
// The target name counts up to here, before its first ".".
inline constexpr std::size_t kMaxTargetChars = 15;

inline constexpr std::string_view kCallbackMissing = "callback should be defined";
inline constexpr std::string_view kTargetTooLong = "Domain name or node name cannot be greater than 15 characters";

// The whole operation, as VexSrv_Broadcast does it with SystemCalls().
std::int32_t Broadcast(const BroadcastSystem &sys, const char *target, std::uint32_t read_timeout_ms,
                       BrowseCallback callback, std::int32_t user_value, char *message, std::int32_t message_length);

} // namespace vex::discovery
