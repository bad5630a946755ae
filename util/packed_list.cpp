#include "util/packed_list.h"

namespace vex::util {
namespace {
// Up to this many items are ranked by insertion, more by counting.
constexpr std::uint32_t kInsertionRankMax = 24;
} // namespace

bool PackedListIndex::Scan(const std::uint8_t *area, std::size_t size) {
    area_ = area;
    count_ = 0;
    if (area == nullptr || size < kPackedCountSize) return false;
    // A list never takes more than a data area; what lies beyond is not ours.
    if (size > kPackedAreaSize) size = kPackedAreaSize;

    const std::uint32_t promised = static_cast<std::uint32_t>(area[0]) | static_cast<std::uint32_t>(area[1]) << 8 |
                                   static_cast<std::uint32_t>(area[2]) << 16 |
                                   static_cast<std::uint32_t>(area[3]) << 24;
    std::size_t pos = kPackedCountSize;
    while (count_ < promised && size - pos >= kPackedEntryHeader) {
        const std::size_t text_size = area[pos + 1]; // text and its zero
        if (text_size == 0 || text_size > size - pos - kPackedEntryHeader) break;
        const std::uint8_t *text = area + pos + kPackedEntryHeader;
        // The first zero must be the last byte of the item.
        if (std::memchr(text, 0, text_size) != text + text_size - 1) break;
        at_[count_++] = static_cast<std::uint16_t>(pos);
        pos += kPackedEntryHeader + text_size;
    }

    // Rank by order byte, stably: equal order bytes keep their list order.
    // A short list (the usual one) is ranked by insertion, which costs less
    // than clearing and summing the 257 buckets of the counting sort.
    if (count_ <= kInsertionRankMax) {
        for (std::uint32_t i = 0; i < count_; ++i) {
            const std::uint8_t order = area[at_[i]];
            std::uint32_t j = i;
            for (; j > 0 && area[at_[by_order_[j - 1]]] > order; --j) by_order_[j] = by_order_[j - 1];
            by_order_[j] = static_cast<std::uint16_t>(i);
        }
        return count_ == promised;
    }
    std::uint16_t first_of[256 + 1] = {};
    for (std::uint32_t i = 0; i < count_; ++i)
        ++first_of[area[at_[i]] + 1];
    for (std::size_t v = 1; v <= 256; ++v)
        first_of[v] = static_cast<std::uint16_t>(first_of[v] + first_of[v - 1]);
    for (std::uint32_t i = 0; i < count_; ++i)
        by_order_[first_of[area[at_[i]]]++] = static_cast<std::uint16_t>(i);

    return count_ == promised;
}

} // namespace vex::util
