// Database start and stop: one request each, lock_key at offset 8, a short reply.
#include "vexsrvapi.h"
#include "transport/codes.h"
#include "transport/request_layouts.h"
#include "transport/operation.h"

namespace vex {
namespace {

// The longest subsystem name that fits the request after offset 12.
constexpr std::size_t kMaxSubsystemChars = kRequestSize - layout::kReqName - 1;
constexpr std::string_view kSubsystemTooLong = "Subsystem name is too long (at most 8011 characters)";

std::int32_t SendDatabaseRequest(std::uint32_t code, std::int32_t lock_key, const char *node, const char *suffix,
                                 const Outputs &out) {
    Operation call(node, suffix, out, kShortReplySize);
    call.request().SetCode(code);
    call.request().SetLockKey(lock_key);
    return call.Run();
}

// The subsystem operations leave the caller's message in place until a text
// is copied into it.
std::int32_t SendSubsystemRequest(std::uint16_t operation, std::int32_t lock_key, const char *node,
                                  const char *suffix, const char *subsystem, const Outputs &out) {
    Operation call(node, suffix, out, kShortReplySize, MessageOnEntry::Keep);
    const std::string_view name = subsystem != nullptr ? subsystem : "";
    if (name.size() > kMaxSubsystemChars) return call.Refuse(kSubsystemTooLong);
    call.request().SetCode(MakeCode(operation, kModifierNone));
    call.request().SetLockKey(lock_key);
    call.request().PutText(layout::kReqName, name);
    return call.Run();
}

} // namespace
} // namespace vex

using vex::MakeCode;
using vex::Outputs;
namespace op = vex::op;

extern "C" {

VEXSRV_API int32_t VEXSRV_CALL VexSrv_StartTidewell(int32_t lock_key, const char *node, const char *suffix,
                                                    int32_t *value, int32_t *status, char *message,
                                                    int32_t message_length) {
    return vex::SendDatabaseRequest(MakeCode(op::kStartDatabase, vex::kModifierNone), lock_key, node, suffix,
                                    Outputs{value, status, message, message_length});
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_StartTidewellFromCluster(int32_t lock_key, const char *node,
                                                               const char *suffix, int32_t *value,
                                                               int32_t *status, char *message,
                                                               int32_t message_length) {
    return vex::SendDatabaseRequest(MakeCode(op::kStartDatabase, vex::kModifierCluster), lock_key, node, suffix,
                                    Outputs{value, status, message, message_length});
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_StopTidewell(int32_t lock_key, const char *node, const char *suffix,
                                                   int32_t *value, int32_t *status, char *message,
                                                   int32_t message_length) {
    return vex::SendDatabaseRequest(MakeCode(op::kStopDatabase, vex::kModifierNone), lock_key, node, suffix,
                                    Outputs{value, status, message, message_length});
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_StopTidewellFromCluster(int32_t lock_key, const char *node,
                                                              const char *suffix, int32_t *value,
                                                              int32_t *status, char *message,
                                                              int32_t message_length) {
    return vex::SendDatabaseRequest(MakeCode(op::kStopDatabase, vex::kModifierCluster), lock_key, node, suffix,
                                    Outputs{value, status, message, message_length});
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_StopExternalTasks(int32_t lock_key, const char *node,
                                                        const char *suffix, int32_t *value, int32_t *status,
                                                        char *message, int32_t message_length) {
    return vex::SendDatabaseRequest(MakeCode(op::kStopExternalTasks, vex::kModifierNone), lock_key, node,
                                    suffix, Outputs{value, status, message, message_length});
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_UnmapTidewellPrograms(int32_t lock_key, const char *node,
                                                            const char *suffix, int32_t *value,
                                                            int32_t *status, char *message,
                                                            int32_t message_length) {
    return vex::SendDatabaseRequest(MakeCode(op::kUnmapPrograms, vex::kModifierNone), lock_key, node, suffix,
                                    Outputs{value, status, message, message_length});
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_StopSubsystem(int32_t lock_key, const char *node, const char *suffix,
                                                    const char *subsystem, int32_t *value, int32_t *status,
                                                    char *message, int32_t message_length) {
    return vex::SendSubsystemRequest(op::kStopSubsystem, lock_key, node, suffix, subsystem,
                                     Outputs{value, status, message, message_length});
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_StopSubsystemAndWait(int32_t lock_key, const char *node,
                                                           const char *suffix, const char *subsystem,
                                                           int32_t wait, int32_t *value, int32_t *status,
                                                           char *message, int32_t message_length) {
    return vex::SendSubsystemRequest(wait != 0 ? op::kStopSubsystemAndWait : op::kStopSubsystem, lock_key, node,
                                     suffix, subsystem, Outputs{value, status, message, message_length});
}

} // extern "C"
