// The packed list: how the task service hands a list of names to the library
// in a reply's 8000-byte data area, and how the library hands the startup
// order to the service in a request. docs/packed-list.md describes it for
// service authors.
//
//   OFFSET  SIZE      FIELD
//        0     4      item count, unsigned, little-endian
//        4  ...       the items, back to back:
//                       +0  1    order byte (1 = first)
//                       +1  1    size byte: text length + 1
//                       +2  size text and its terminating zero
//
// The writer is header-only and needs nothing but the standard library, so
// the service uses it as it is. The index (the readers' core) treats the
// area as hostile: it finds only whole items inside the bytes it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace vex::util {

// The data area of a long reply, and the payload room of a request after
// offset 24: the most a packed list ever takes.
inline constexpr std::size_t kPackedAreaSize = 8000;
inline constexpr std::size_t kPackedCountSize = 4;
inline constexpr std::size_t kPackedEntryHeader = 2; // order byte, size byte
// A text must leave room for its zero in the size byte.
inline constexpr std::size_t kPackedMaxTextChars = 254;
// Order bytes stay distinct for this many items.
inline constexpr std::size_t kPackedMaxOrders = 255;
// The most items an area can hold: every item takes at least 3 bytes.
inline constexpr std::size_t kPackedMaxItems = (kPackedAreaSize - kPackedCountSize) / (kPackedEntryHeader + 1);

// Bytes an item of text_chars characters takes.
constexpr std::size_t PackedEntrySize(std::size_t text_chars) {
    return kPackedEntryHeader + text_chars + 1;
}

// Writes a packed list into a byte span: the count first (kept up to date),
// then each added item. Refuses, writing nothing, what would not fit.
class PackedListWriter {
  public:
    // An area shorter than the count word takes no list at all (ok() false).
    explicit PackedListWriter(std::span<std::uint8_t> area) : area_(area) {
        if (ok()) StoreCount();
    }

    bool ok() const { return area_.size() >= kPackedCountSize; }

    // Appends one item. Refuses a text of more than 254 characters, a text
    // holding a zero byte, and an item that does not fit the area.
    bool Add(std::uint8_t order, std::string_view text) {
        if (!ok() || text.size() > kPackedMaxTextChars) return false;
        if (text.find('\0') != std::string_view::npos) return false;
        const std::size_t entry = PackedEntrySize(text.size());
        if (entry > area_.size() - used_) return false;
        std::uint8_t *p = area_.data() + used_;
        p[0] = order;
        p[1] = static_cast<std::uint8_t>(text.size() + 1);
        if (!text.empty()) std::memcpy(p + kPackedEntryHeader, text.data(), text.size());
        p[kPackedEntryHeader + text.size()] = 0;
        used_ += entry;
        ++count_;
        StoreCount();
        return true;
    }

    std::uint32_t count() const { return count_; }
    // Bytes written so far, the count word included.
    std::size_t size() const { return ok() ? used_ : 0; }

  private:
    void StoreCount() {
        for (std::size_t i = 0; i < kPackedCountSize; ++i)
            area_[i] = static_cast<std::uint8_t>(count_ >> (8 * i));
    }

    std::span<std::uint8_t> area_;
    std::size_t used_ = kPackedCountSize;
    std::uint32_t count_ = 0;
};

// The whole items of a packed list, found in place. Reads at most the bytes
// it is given and keeps pointers into them: the area must outlive the index.
// An item is whole when its size byte is at least 1, its text and zero lie
// inside the area and its text holds no other zero byte; scanning stops at
// the first item that is not whole, or after the count's items.
class PackedListIndex {
  public:
    // Indexes area[0, size). Returns true when the area held every item its
    // count promised; false when the list was cut short or is not a list.
    bool Scan(const std::uint8_t *area, std::size_t size);

    // Number of whole items found.
    std::uint32_t count() const { return count_; }
    // Item at list position pos (0-based), or null.
    const char *TextAt(std::uint32_t pos) const { return pos < count_ ? Text(at_[pos]) : nullptr; }
    // Item of rank rank (0-based) when the items are ordered by their order
    // byte, equal order bytes keeping their list order; or null.
    const char *TextByOrder(std::uint32_t rank) const { return rank < count_ ? Text(at_[by_order_[rank]]) : nullptr; }
    // Text length of the item at list position pos; 0 when there is none.
    std::uint8_t LengthAt(std::uint32_t pos) const {
        return pos < count_ ? static_cast<std::uint8_t>(area_[at_[pos] + 1] - 1) : 0;
    }
    std::uint8_t LengthByOrder(std::uint32_t rank) const { return rank < count_ ? LengthAt(by_order_[rank]) : 0; }

  private:
    const char *Text(std::uint16_t offset) const {
        return reinterpret_cast<const char *>(area_ + offset + kPackedEntryHeader);
    }

    const std::uint8_t *area_ = nullptr;
    std::uint32_t count_ = 0;
    // Entry offsets in list order, and list positions ranked by order byte.
    // Only the first count_ of each are ever written and read: left
    // uninitialised, since clearing 10 KB per reader would cost more than
    // reading a whole list.
    std::uint16_t at_[kPackedMaxItems];
    std::uint16_t by_order_[kPackedMaxItems];
};

} // namespace vex::util
