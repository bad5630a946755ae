// Lists, startup order and boot start: the requests of codes 12, 13, 16, 32
// and 33. Lists travel in the packed-list format that the library's readers
// take.
#include "service/requests.h"
#include "transport/codes.h"
#include "util/packed_list.h"

namespace taskd {
namespace {

namespace op = vex::op;
namespace packed = vex::util;
using vex::kLongReplySize;
using vex::kShortReplySize;

void WriteList(Call &c, const std::vector<std::pair<std::uint8_t, std::string>> &items) {
    packed::PackedListWriter writer({c.reply.data() + vex::kRepText, packed::kPackedAreaSize});
    for (const auto &[order, name] : items) {
        if (!writer.Add(order, name)) {
            // The registry keeps its list within a reply; this is the guard
            // should that ever fail.
            c.reply.Clear();
            return Answer(c.reply, Outcome::Refuse(status::kListFull, "The list does not fit a reply."));
        }
    }
    Answer(c.reply, Outcome::Ok());
}

// Both orders travel in one list: items in list order, each order byte
// the item's rank in startup order.
void TaskList(Call &c) { WriteList(c, c.svc.TaskListForReply()); }

void SubsystemList(Call &c) {
    std::vector<std::pair<std::uint8_t, std::string>> items;
    std::uint8_t order = 0;
    for (const std::string &name : c.svc.config().subsystems) items.emplace_back(++order, name);
    WriteList(c, items);
}

// The startup-order payload from offset 24: a count, then entries of an
// order byte, a size byte and the name with its zero.
void SetStartupOrders(Call &c) {
    const std::size_t start = layout::kReqStartupOrders;
    const std::uint32_t count = c.req.U32(start);
    std::size_t at = start + packed::kPackedCountSize;
    std::vector<std::pair<std::uint8_t, std::string>> orders;
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto damaged = [&] {
            return Outcome::Refuse(status::kInvalidData, "The startup-order list is damaged at entry " +
                                                             std::to_string(i + 1) + " of " + std::to_string(count) +
                                                             ".");
        };
        if (at + packed::kPackedEntryHeader > vex::kRequestSize) return Answer(c.reply, damaged());
        const std::uint8_t order = c.req.U8(at);
        const std::uint8_t size = c.req.U8(at + 1);
        const std::size_t text_at = at + packed::kPackedEntryHeader;
        if (size == 0 || text_at + size > vex::kRequestSize) return Answer(c.reply, damaged());
        const auto name = c.req.Text(text_at, size);
        if (!name || name->size() + 1 != size) return Answer(c.reply, damaged());
        orders.emplace_back(order, *name);
        at = text_at + size;
    }
    Answer(c.reply, c.svc.SetStartupOrders(orders));
}

void SetStartupAtBoot(Call &c) { Answer(c.reply, c.svc.SetBootStart(c.req.I32(layout::kReqWord) == 1)); }

constexpr RequestRow kRows[] = {
    {op::kTaskListByStartupOrder, "task list by startup order", kLongReplySize, true, Modifiers::None, TaskList},
    {op::kTaskListInListOrder, "task list", kLongReplySize, true, Modifiers::None, TaskList},
    {op::kSubsystemList, "subsystem list", kLongReplySize, true, Modifiers::None, SubsystemList},
    {op::kSetStartupOrders, "set startup orders", kShortReplySize, false, Modifiers::None, SetStartupOrders},
    {op::kSetStartupAtBoot, "set startup at boot", kLongReplySize, false, Modifiers::None, SetStartupAtBoot},
};

} // namespace

std::span<const RequestRow> ListRequests() { return kRows; }

} // namespace taskd
