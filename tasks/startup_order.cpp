// Startup order and start at boot. The startup order travels as a packed
// list in the request from offset 24: the count, then for each non-empty
// name an order byte (1 for the first), a size byte and the name with its
// zero. The whole list is measured before anything is written, so a list
// that cannot travel intact is refused and nothing is sent.
#include "transport/request_layouts.h"
#include "transport/codes.h"
#include "transport/operation.h"
#include "util/packed_list.h"
#include "vexsrvapi.h"

namespace vex {
namespace {

static_assert(kRequestSize - layout::kReqStartupOrders == util::kPackedAreaSize);

constexpr std::string_view kNamesMissing = "task names array should be defined";
constexpr std::string_view kListEmpty = "Tasks list is empty";
constexpr std::string_view kListTooLarge = "Too many tasks in the registered tasks list";
// A size byte holds at most 255: the name and its zero.
constexpr std::string_view kNameTooLong = "Task name is too long for the startup order (at most 254 characters)";
// Order bytes would repeat after 255 names.
constexpr std::string_view kTooManyNames = "Too many tasks for the startup order (at most 255 named tasks)";
constexpr std::string_view kUnexpectedFailure =
    "The startup order could not be sent (unexpected failure in the library)";

std::int32_t SetStartupOrders(const char *node, const char *suffix, const CStringArray *names, const Outputs &out) {
    Operation call(node, suffix, out, kShortReplySize);
    if (names == nullptr) return call.Refuse(kNamesMissing);
    const std::int32_t n = names->GetSize();
    if (n <= 0) return call.Refuse(kListEmpty);

    // First pass: the payload's size; empty names take no room and no order.
    std::size_t total = util::kPackedCountSize;
    std::size_t packed = 0;
    bool name_too_long = false;
    for (std::int32_t i = 0; i < n; ++i) {
        const CString &name = names->GetAt(i);
        if (name.IsEmpty()) continue;
        const auto length = static_cast<std::size_t>(name.GetLength());
        if (length > util::kPackedMaxTextChars) name_too_long = true;
        total += util::PackedEntrySize(length);
        ++packed;
    }
    if (total > util::kPackedAreaSize) return call.Refuse(kListTooLarge);
    if (name_too_long) return call.Refuse(kNameTooLong);
    if (packed > util::kPackedMaxOrders) return call.Refuse(kTooManyNames);

    TaskServiceRequest &request = call.request();
    util::PackedListWriter writer(request.Area(layout::kReqStartupOrders, kRequestSize - layout::kReqStartupOrders));
    std::uint8_t order = 0;
    for (std::int32_t i = 0; i < n; ++i) {
        const CString &name = names->GetAt(i);
        if (name.IsEmpty()) continue;
        const std::string_view text(name.GetString(), static_cast<std::size_t>(name.GetLength()));
        // Measured above; a refusal here means the array changed under us.
        if (!writer.Add(++order, text)) return call.Refuse(kListTooLarge);
    }
    request.SetCode(MakeCode(op::kSetStartupOrders, kModifierNone));
    request.SetLockKey(0);
    return call.Run(Channels::With, TextCopy::WhenValueNonZero);
}

std::int32_t SetStartupAtBoot(const char *node, const char *suffix, std::int32_t on, const Outputs &out) {
    Operation call(node, suffix, out, kLongReplySize);
    call.request().SetCode(MakeCode(op::kSetStartupAtBoot, kModifierNone));
    call.request().SetLockKey(0);
    call.request().PutI32(layout::kReqWord, on == 1 ? 1 : 0);
    return call.Run(Channels::With, TextCopy::WhenValueNonZero);
}

} // namespace
} // namespace vex

extern "C" {

VEXSRV_API int32_t VEXSRV_CALL VexSrv_SetRegTaskListStartupOrders(const char *node, const char *suffix, int32_t *value,
                                                                  int32_t *status, const CStringArray *task_names,
                                                                  char *message, int32_t message_length) {
    const vex::Outputs out{value, status, message, message_length};
    try {
        return vex::SetStartupOrders(node, suffix, task_names, out);
    } catch (...) {
        // Only a caller's array that is not what it claims to be gets here.
        vex::BoundedCopy(message, message_length, vex::kUnexpectedFailure);
        return 0;
    }
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_SetStartupAtBoot(const char *node, const char *suffix, int32_t *value,
                                                       int32_t *status, int32_t on, char *message,
                                                       int32_t message_length) {
    return vex::SetStartupAtBoot(node, suffix, on, vex::Outputs{value, status, message, message_length});
}

} // extern "C"
