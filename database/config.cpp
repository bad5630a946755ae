// Audit-trail configuration, group configurations and the snapshot list.
#include <cstddef>
#include <cstring>

#include "transport/request_layouts.h"
#include "transport/codes.h"
#include "transport/operation.h"
#include "vexsrvapi.h"

// The entry crosses the boundary as the caller lays it out, and the request
// keeps that layout.
static_assert(offsetof(SnapshotListEntry, name) == 0);
static_assert(offsetof(SnapshotListEntry, option_a) == 1024);
static_assert(offsetof(SnapshotListEntry, option_b) == 1025);
static_assert(offsetof(SnapshotListEntry, option_c) == 1026);
static_assert(sizeof(SnapshotListEntry) == 1027);

namespace vex {
namespace {

// The file name runs to the end of the record.
constexpr std::size_t kMaxFileNameChars = kRequestSize - layout::kReqFileName - 1; // 7999

constexpr std::string_view kFileNameInvalid = "File name is invalid";
constexpr std::string_view kFileNameTooLong = "File name is too long (at most 7999 characters)";
constexpr std::string_view kSnapshotNameMissing = "snapshot name should be defined";
// A name without a NUL inside its 1024-byte field.
constexpr std::string_view kSnapshotNameTooLong = "snapshot name is too long (at most 1023 characters)";

void CopyField(const TaskServiceReply &reply, std::size_t offset, char *field) {
    if (field != nullptr) std::memcpy(field, reply.data() + offset, layout::kAuditFieldSize);
}

void ClearField(char *field) {
    if (field != nullptr) field[0] = 0;
}

// Save (no load option) and load share the request but for the option.
std::int32_t SendGroupRequest(std::uint16_t operation, const char *node, const char *suffix, const char *file_name,
                              const std::int32_t *load_option, const Outputs &out) {
    Operation call(node, suffix, out, kShortReplySize);
    if (file_name == nullptr || file_name[0] == 0) return call.Refuse(kFileNameInvalid);
    const std::string_view name(file_name);
    if (name.size() > kMaxFileNameChars) return call.Refuse(kFileNameTooLong);
    call.request().SetCode(MakeCode(operation, kModifierNone));
    if (load_option != nullptr) call.request().PutI32(layout::kReqLoadOption, *load_option);
    call.request().PutText(layout::kReqFileName, name);
    return call.Run();
}

} // namespace
} // namespace vex

using vex::MakeCode;
using vex::Operation;
using vex::Outputs;
namespace op = vex::op;

extern "C" {

// A value other than 0 means the data area holds a message: the outputs are
// emptied and the text copied. The status alone decides the result.
VEXSRV_API int32_t VEXSRV_CALL VexSrv_GetAuditTrailConfiguration(const char *node, const char *suffix,
                                                                 int32_t *setting_first, int32_t *setting_second,
                                                                 char *field_first, char *field_second, int32_t *value,
                                                                 int32_t *status, char *message,
                                                                 int32_t message_length) {
    Operation call(node, suffix, Outputs{value, status, message, message_length}, vex::kLongReplySize);
    call.request().SetCode(MakeCode(op::kGetAuditTrail, vex::kModifierNone));
    if (!call.Exchange()) return 0;
    const std::int32_t result = call.Finish(vex::TextCopy::WhenValueNonZero);
    const vex::TaskServiceReply &reply = call.reply();
    if (reply.Value() != 0) {
        vex::Set(setting_first, 0);
        vex::Set(setting_second, 0);
        vex::ClearField(field_first);
        vex::ClearField(field_second);
    } else {
        vex::Set(setting_first, reply.I32(vex::layout::kRepAuditFirst));
        vex::Set(setting_second, reply.I32(vex::layout::kRepAuditSecond));
        vex::CopyField(reply, vex::layout::kRepAuditFieldFirst, field_first);
        vex::CopyField(reply, vex::layout::kRepAuditFieldSecond, field_second);
    }
    return result;
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_SetAuditTrailConfiguration(const char *node, const char *suffix,
                                                                 int32_t setting_first, int32_t setting_second,
                                                                 int32_t *value, int32_t *status, char *message,
                                                                 int32_t message_length) {
    Operation call(node, suffix, Outputs{value, status, message, message_length}, vex::kLongReplySize);
    call.request().SetCode(MakeCode(op::kSetAuditTrail, vex::kModifierNone));
    call.request().PutI32(vex::layout::kReqAuditFirst, setting_first);
    call.request().PutI32(vex::layout::kReqAuditSecond, setting_second);
    return call.Run(vex::Channels::With, vex::TextCopy::WhenValueNonZero);
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_SaveGroupConfiguration(const char *node, const char *suffix,
                                                             const char *file_name, int32_t *value, int32_t *status,
                                                             char *message, int32_t message_length) {
    return vex::SendGroupRequest(op::kSaveGroup, node, suffix, file_name, nullptr,
                                 Outputs{value, status, message, message_length});
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_LoadGroupConfiguration(const char *node, const char *suffix,
                                                             const char *file_name, int32_t load_option, int32_t *value,
                                                             int32_t *status, char *message, int32_t message_length) {
    return vex::SendGroupRequest(op::kLoadGroup, node, suffix, file_name, &load_option,
                                 Outputs{value, status, message, message_length});
}

// A failed exchange is reported with the system's text for its code, also
// for a missing pipe.
VEXSRV_API int32_t VEXSRV_CALL VexSrv_UpdateSnapshotList(const char *node, const char *suffix,
                                                         const SnapshotListEntry *entry, int32_t *value,
                                                         int32_t *status, char *message, int32_t message_length) {
    Operation call(node, suffix, Outputs{value, status, message, message_length}, vex::kShortReplySize);
    call.request().SetCode(MakeCode(op::kUpdateSnapshotList, vex::kModifierNone));
    if (entry == nullptr || entry->name[0] == 0) return call.Refuse(vex::kSnapshotNameMissing);
    const void *end = std::memchr(entry->name, 0, vex::layout::kSnapshotNameSize);
    if (end == nullptr) return call.Refuse(vex::kSnapshotNameTooLong);
    const std::string_view name(entry->name, static_cast<std::size_t>(static_cast<const char *>(end) - entry->name));
    call.request().PutText(vex::layout::kReqSnapshot, name);
    call.request().PutU8(vex::layout::kReqSnapshotOptions, entry->option_a);
    call.request().PutU8(vex::layout::kReqSnapshotOptions + 1, entry->option_b);
    call.request().PutU8(vex::layout::kReqSnapshotOptions + 2, entry->option_c);
    return call.Run(vex::Channels::Without);
}

} // extern "C"
