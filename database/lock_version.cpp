// Exclusive lock, database permissions and database version.
#include <cstring>

#include "transport/request_layouts.h"
#include "transport/codes.h"
#include "transport/operation.h"
#include "vexsrvapi.h"

namespace vex {
namespace {

// The token of no lock.
constexpr std::int32_t kNoLockToken = -1;

constexpr std::string_view kTargetOffline = "Target computer is offline.";
constexpr std::string_view kNoVersionRequests = "Target system does not support DB version requests.";

// Writes text into the caller's version text of the stated length, cut to
// length - 1 characters when it does not fit, always NUL-terminated; nothing
// for a length of 0.
void PutVersionText(char *buffer, std::uint32_t length, std::string_view text) {
    if (buffer == nullptr || length == 0) return;
    const std::size_t n = text.size() < length ? text.size() : length - 1;
    if (n != 0) std::memcpy(buffer, text.data(), n);
    buffer[n] = 0;
}

void CopyPermissionWord(const TaskServiceReply &reply, std::size_t offset, std::uint32_t *out) {
    if (out != nullptr) std::memcpy(out, reply.data() + offset, layout::kPermissionWordSize);
}

} // namespace
} // namespace vex

using vex::MakeCode;
using vex::Operation;
using vex::Outputs;
namespace op = vex::op;

extern "C" {

VEXSRV_API int32_t VEXSRV_CALL VexSrv_GetExclLock(const char *node, const char *suffix, int32_t *lock_token,
                                                  int32_t *value, int32_t *status, char *message,
                                                  int32_t message_length) {
    // Before anything else, so that every failure leaves no token.
    vex::Set(lock_token, vex::kNoLockToken);
    Operation call(node, suffix, Outputs{value, status, message, message_length}, vex::kShortReplySize);
    call.request().SetCode(MakeCode(op::kGetExclLock, vex::kModifierNone));
    if (call.Run() == 0) return 0;
    vex::Set(lock_token, call.reply().LockToken());
    return 1;
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_GiveExclLock(int32_t lock_token, const char *node, const char *suffix,
                                                   int32_t *value, int32_t *status, char *message,
                                                   int32_t message_length) {
    Operation call(node, suffix, Outputs{value, status, message, message_length}, vex::kShortReplySize);
    call.request().SetCode(MakeCode(op::kGiveExclLock, vex::kModifierNone));
    call.request().SetLockKey(lock_token);
    return call.Run();
}

// The value's low 16 bits decide what comes back: the permission words when
// they are 0, else the service's text. The status decides the result.
VEXSRV_API int32_t VEXSRV_CALL VexSrv_GetDBPermis(const char *node, const char *suffix, int32_t query,
                                                  uint32_t *permission_first, uint32_t *permission_second,
                                                  int32_t *value, int32_t *status, char *message,
                                                  int32_t message_length) {
    Operation call(node, suffix, Outputs{value, status, message, message_length}, vex::kLongReplySize);
    call.request().SetCode(MakeCode(op::kGetPermissions, vex::kModifierNone));
    call.request().PutI32(vex::layout::kReqWord, query);
    if (!call.Exchange()) return 0;
    const vex::TaskServiceReply &reply = call.reply();
    call.SetValue(reply.Value16());
    call.SetStatus(reply.Status());
    if (reply.Value16() != 0) {
        if (permission_first != nullptr) *permission_first = 0;
        if (permission_second != nullptr) *permission_second = 0;
        call.CopyText(reply.Text());
    } else {
        vex::CopyPermissionWord(reply, vex::layout::kRepPermissionFirst, permission_first);
        vex::CopyPermissionWord(reply, vex::layout::kRepPermissionSecond, permission_second);
    }
    return call.Result();
}

// The outcome is the value's low 16 bits, handed out as the status; the
// reply's status word is not read. Once the exchange has completed the
// message buffer is not written.
VEXSRV_API int32_t VEXSRV_CALL VexSrv_GetDBVersion(const char *node, const char *suffix, int32_t *status,
                                                   int32_t *version_first, int32_t *version_second,
                                                   int32_t *version_third, char *version_text,
                                                   uint32_t version_text_length, char *message,
                                                   int32_t message_length) {
    Operation call(node, suffix, Outputs{nullptr, status, message, message_length}, vex::kLongReplySize);
    // Stays when the exchange fails.
    vex::PutVersionText(version_text, version_text_length, vex::kTargetOffline);
    call.request().SetCode(MakeCode(op::kGetVersion, vex::kModifierNone));
    if (!call.Exchange()) return 0;
    const vex::TaskServiceReply &reply = call.reply();
    const std::int32_t outcome = reply.Value16();
    call.SetStatus(outcome);
    vex::Set(version_first, -1);
    vex::Set(version_second, 0);
    vex::Set(version_third, 0);
    if (outcome != 0) {
        vex::PutVersionText(version_text, version_text_length, vex::kNoVersionRequests);
        return 0;
    }
    vex::Set(version_first, reply.I32(vex::layout::kRepVersionFirst));
    vex::Set(version_second, reply.I32(vex::layout::kRepVersionSecond));
    vex::Set(version_third, reply.I32(vex::layout::kRepVersionThird));
    vex::PutVersionText(version_text, version_text_length, reply.TextAt(vex::layout::kRepVersionText));
    return 1;
}

} // extern "C"
