// Database status: check, read and set. Each first sends an echo to the node,
// so that a node that does not answer is reported at once instead of being
// left to the pipe.
#include <cstring>

#include "transport/request_layouts.h"
#include "transport/codes.h"
#include "transport/operation.h"
#include "transport/probe.h"
#include "vexsrvapi.h"

namespace vex {
namespace {

constexpr std::string_view kHostUnreachable = "Host is unreachable";

// Runs the probe unless the exchange will refuse the address anyway: a
// refused call sends nothing, not even an echo.
bool Reachable(const char *node, const char *suffix) {
    if (node == nullptr) return true;
    if (std::strlen(node) + std::strlen(suffix) > kMaxAddressChars) return true;
    return HostProbe(node, kProbeTimeoutMs);
}

// The unreachable node: status 0 although the call fails, and the fixed text.
std::int32_t ReportUnreachable(const Operation &call) {
    call.SetStatus(0);
    return call.Refuse(kHostUnreachable);
}

} // namespace
} // namespace vex

using vex::MakeCode;
using vex::Operation;
using vex::Outputs;
namespace op = vex::op;

extern "C" {

// Operation 9, then, when its status is 0, operation 6 in the same records:
// only the operation number changes, and reply bytes that the second answer
// does not cover still hold the first.
VEXSRV_API int32_t VEXSRV_CALL VexSrv_CheckTidewell(const char *node, const char *suffix, int32_t *value_first,
                                                    int32_t *value_second, int32_t *status, char *message,
                                                    int32_t message_length) {
    Operation call(node, suffix, Outputs{value_first, status, message, message_length}, vex::kShortReplySize);
    vex::Set(value_first, 0);
    vex::Set(value_second, 0);
    if (!vex::Reachable(node, call.suffix())) return vex::ReportUnreachable(call);

    call.request().SetCode(MakeCode(op::kCheckFirst, vex::kModifierNone));
    if (call.Run() == 0) return 0;

    call.request().SetOperation(op::kCheckSecond);
    if (!call.Exchange()) return 0;
    vex::Set(value_second, call.reply().Value());
    call.SetStatus(call.reply().Status());
    call.CopyText(call.reply().Text());
    return call.Result();
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_GetTidewellStatus(const char *node, const char *suffix, int32_t *value,
                                                        int32_t *status, char *message, int32_t message_length) {
    Operation call(node, suffix, Outputs{value, status, message, message_length}, vex::kShortReplySize);
    vex::Set(value, 0);
    if (!vex::Reachable(node, call.suffix())) return vex::ReportUnreachable(call);
    call.request().SetCode(MakeCode(op::kGetStatus, vex::kModifierNone));
    return call.Run();
}

// *value carries the status to set and receives the service's answer; it
// keeps the caller's value on every failure before an answer.
VEXSRV_API int32_t VEXSRV_CALL VexSrv_SetTidewellStatus(const char *node, const char *suffix, int32_t *value,
                                                        int32_t *status, char *message, int32_t message_length) {
    Operation call(node, suffix, Outputs{value, status, message, message_length}, vex::kShortReplySize);
    if (!vex::Reachable(node, call.suffix())) return vex::ReportUnreachable(call);
    call.request().SetCode(MakeCode(op::kSetStatus, vex::kModifierNone));
    call.request().PutI32(vex::layout::kReqWord, value != nullptr ? *value : 0);
    return call.Run();
}

} // extern "C"
