// The list readers: they take the data area of a list reply and hand out its
// items as CString, by 1-based index. Each reader lives in the caller's
// automatic storage for one call and reads the area in place, so the area
// must outlive it; it allocates nothing but the strings it returns.
//
// Indexes run from 1 to GetItemCount() inclusive; any other index gives the
// empty text. "By order" means ranked by the items' order bytes, smallest
// first, items with equal order bytes in list order: for a list whose order
// bytes are 1 to n, as the service writes them, index i gives the item whose
// order byte is i. Every item is delivered exactly once over 1..count, by
// position and by order alike.
#pragma once

#include <cstdint>

#include "util/packed_list.h"
#include "vexsrvapi.h"

namespace vex::util {

// The registered task list: by list position or by startup order.
class CVexRegList {
  public:
    CVexRegList() = default;
    CVexRegList(const CVexRegList &) = delete;
    CVexRegList &operator=(const CVexRegList &) = delete;
    ~CVexRegList() = default;

    // Reads the packed list in area[0, size); a size of 0 stands for a whole
    // reply data area (8000 bytes). Returns true when the area held every
    // item its count promised; the whole items are readable either way.
    bool UnPackList(const void *area, std::uint32_t size);
    std::uint32_t GetItemCount() const { return list_.count(); }
    // The item at list position index.
    CString GetItem(std::uint32_t index) const;
    // The item of startup order index (ranked by order byte).
    CString GetItemByStartupOrder(std::uint32_t index) const;

  private:
    PackedListIndex list_;
};

// A list read by order alone; the base of the subsystem list.
class CVexRegListEx {
  public:
    CVexRegListEx() = default;
    CVexRegListEx(const CVexRegListEx &) = delete;
    CVexRegListEx &operator=(const CVexRegListEx &) = delete;
    virtual ~CVexRegListEx() = default;

    // As CVexRegList::UnPackList.
    bool UnPackList(const void *area, std::uint32_t size);
    std::uint32_t GetItemCount() const { return list_.count(); }
    // The item of order index (ranked by order byte); 0 and negative
    // indexes give the empty text.
    CString GetItemByOrder(std::int32_t index) const;

  private:
    PackedListIndex list_;
};

// The subsystem list. The two texts name where the list came from (node and
// service suffix) for the reader's owner; they take no part in reading.
class CVexSubSysList : public CVexRegListEx {
  public:
    CVexSubSysList(CString node, CString suffix) : node_(node), suffix_(suffix) {}

    const CString &GetNode() const { return node_; }
    const CString &GetSuffix() const { return suffix_; }

  private:
    CString node_;
    CString suffix_;
};

} // namespace vex::util
