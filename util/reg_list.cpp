#include "util/reg_list.h"

namespace vex::util {
namespace {

bool Unpack(PackedListIndex &list, const void *area, std::uint32_t size) {
    return list.Scan(static_cast<const std::uint8_t *>(area), size == 0 ? kPackedAreaSize : size);
}

// Items are whole and shorter than 255 characters, so a null text is the only
// case to turn into the empty text.
CString Item(const char *text, std::uint8_t length) {
    return text != nullptr ? CString(text, length) : CString();
}

} // namespace

bool CVexRegList::UnPackList(const void *area, std::uint32_t size) {
    return Unpack(list_, area, size);
}

CString CVexRegList::GetItem(std::uint32_t index) const {
    if (index == 0) return CString();
    return Item(list_.TextAt(index - 1), list_.LengthAt(index - 1));
}

CString CVexRegList::GetItemByStartupOrder(std::uint32_t index) const {
    if (index == 0) return CString();
    return Item(list_.TextByOrder(index - 1), list_.LengthByOrder(index - 1));
}

bool CVexRegListEx::UnPackList(const void *area, std::uint32_t size) {
    return Unpack(list_, area, size);
}

CString CVexRegListEx::GetItemByOrder(std::int32_t index) const {
    if (index <= 0) return CString();
    const auto rank = static_cast<std::uint32_t>(index - 1);
    return Item(list_.TextByOrder(rank), list_.LengthByOrder(rank));
}

} // namespace vex::util
