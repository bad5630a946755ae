// List retrieval: the registered task list (by startup order or in list
// order) and the subsystem list. The reply's value word tells a packed list
// (0) from a message text; the status alone decides the result. The items go
// into a new CStringArray that the caller owns until it gives it back.
#include <climits>
#include <new>

#include "platform/platform.h"
#include "transport/codes.h"
#include "transport/operation.h"
#include "util/error_desc.h"
#include "util/reg_list.h"
#include "vexsrvapi.h"

// Callers built with other compilers read the arrays through the inline
// members: on i686 the layout must be the plain one they expect.
static_assert(sizeof(void *) != 4 || (sizeof(CString) == 8 && sizeof(CStringArray) == 16));

namespace vex {
namespace {

constexpr std::string_view kListOutMissing = "list pointer should be defined";
constexpr std::string_view kUnexpectedFailure = "The list could not be read (unexpected failure in the library)";

// How the items of one reply are fetched into the array.
enum class ListKind { TasksInListOrder, TasksByStartupOrder, Subsystems };

// The array a list operation returns: element storage sized once from the
// reader's count, and each string the reader hands over kept as it is, so
// that a list of n names costs the array, its storage and the n strings.
class ListArray final : public CStringArray {
  public:
    void Reserve(std::uint32_t count) {
        CStringArray::Reserve(count <= static_cast<std::uint32_t>(INT32_MAX) ? static_cast<std::int32_t>(count) : 0);
    }
    void Keep(CString &&item) { Adopt(item); }
};

// Stores the array in *list before the first item is fetched, so that an
// exhaustion of memory half-way leaves the caller an array to free.
template <typename Reader, typename Fetch> void Collect(Reader &reader, CStringArray **list, Fetch fetch) {
    auto *array = new ListArray;
    *list = array;
    array->Reserve(reader.GetItemCount());
    for (std::uint32_t i = 1; i <= reader.GetItemCount(); ++i) array->Keep(fetch(i));
}

void FillList(const TaskServiceReply &reply, ListKind kind, CStringArray **list) {
    if (kind == ListKind::Subsystems) {
        util::CVexSubSysList subsystems{CString(), CString()};
        util::CVexRegListEx &reader = subsystems;
        reader.UnPackList(reply.DataArea(), 0);
        Collect(reader, list, [&](std::uint32_t i) { return reader.GetItemByOrder(static_cast<std::int32_t>(i)); });
        return;
    }
    util::CVexRegList reader;
    reader.UnPackList(reply.DataArea(), 0);
    if (kind == ListKind::TasksByStartupOrder)
        Collect(reader, list, [&](std::uint32_t i) { return reader.GetItemByStartupOrder(i); });
    else
        Collect(reader, list, [&](std::uint32_t i) { return reader.GetItem(i); });
}

std::int32_t ReadList(std::uint16_t operation, ListKind kind, std::int32_t lock_key, const char *node,
                      const char *suffix, CStringArray **list, const Outputs &out) {
    Operation call(node, suffix, out, kLongReplySize);
    if (list == nullptr) return call.Refuse(kListOutMissing);
    *list = nullptr;
    call.request().SetCode(MakeCode(operation, kModifierNone));
    call.request().SetLockKey(lock_key);
    if (!call.Exchange()) return 0;
    const std::int32_t result = call.Finish(TextCopy::WhenValueNonZero);
    if (call.reply().Value() != 0) return result;
    try {
        FillList(call.reply(), kind, list);
    } catch (const std::bad_alloc &) {
#if defined(_WIN32)
        // The DLL carries its own copy of the runtime's unwinder, so an
        // exception cannot reach the caller's handlers and would end the
        // process: exhaustion is reported as a failure instead. An array
        // already stored in *list stays the caller's to free.
        call.SetStatus(static_cast<std::int32_t>(platform::kErrorNotEnoughMemory));
        call.Refuse(util::VexWin32ErrorDesc(platform::kErrorNotEnoughMemory).view());
        return 0;
#else
        throw; // exhaustion reaches the caller, as callers of list operations expect
#endif
    } catch (...) {
        call.Refuse(kUnexpectedFailure);
        return 0;
    }
    return result;
}

} // namespace
} // namespace vex

namespace op = vex::op;

extern "C" {

VEXSRV_API int32_t VEXSRV_CALL VexSrv_GetTaskList(int32_t lock_key, const char *node, const char *suffix,
                                                  int32_t *value, int32_t *status, int32_t startup_order,
                                                  CStringArray **list, char *message, int32_t message_length) {
    const bool by_startup = startup_order != 0;
    return vex::ReadList(by_startup ? op::kTaskListByStartupOrder : op::kTaskListInListOrder,
                         by_startup ? vex::ListKind::TasksByStartupOrder : vex::ListKind::TasksInListOrder, lock_key,
                         node, suffix, list, vex::Outputs{value, status, message, message_length});
}

VEXSRV_API int32_t VEXSRV_CALL VexSrv_GetSubSysList(int32_t lock_key, const char *node, const char *suffix,
                                                    int32_t *value, int32_t *status, CStringArray **list, char *message,
                                                    int32_t message_length) {
    return vex::ReadList(op::kSubsystemList, vex::ListKind::Subsystems, lock_key, node, suffix, list,
                         vex::Outputs{value, status, message, message_length});
}

VEXSRV_API void VEXSRV_CALL VexSrv_FreeCStringArray(CStringArray *list) {
    // The virtual destructor frees the array and its strings with the
    // allocator of the module that made them.
    delete list;
}

} // extern "C"
