// The list readers over any bytes as a reply's data area. Beyond the
// sanitizers' checks, each run compares the readers with a plain reading of
// the format and checks that the count agrees with what the accessors give.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "util/reg_list.h"

namespace {

using vex::util::CVexRegList;
using vex::util::CVexRegListEx;
using vex::util::CVexSubSysList;
using vex::util::kPackedAreaSize;

void Require(bool ok) {
    if (!ok) __builtin_trap();
}

struct Item {
    std::uint8_t order;
    std::string text;
};

// The whole items of area[0, size), read straight from the format.
std::vector<Item> Reference(const std::uint8_t *area, std::size_t size) {
    std::vector<Item> items;
    size = std::min(size, kPackedAreaSize);
    if (size < 4) return items;
    std::uint32_t count = 0;
    std::memcpy(&count, area, 4); // little-endian host
    std::size_t pos = 4;
    while (items.size() < count && pos + 2 <= size) {
        const std::size_t text_size = area[pos + 1];
        if (text_size == 0 || pos + 2 + text_size > size) break;
        const auto *text = reinterpret_cast<const char *>(area + pos + 2);
        if (text[text_size - 1] != 0 || std::strlen(text) != text_size - 1) break;
        items.push_back({area[pos], std::string(text, text_size - 1)});
        pos += 2 + text_size;
    }
    return items;
}

std::string Text(const CString &s) {
    Require(s.GetLength() >= 0 && static_cast<std::size_t>(s.GetLength()) == std::strlen(s.GetString()));
    return std::string(s.GetString(), static_cast<std::size_t>(s.GetLength()));
}

// Reads area with every reader and compares with the reference.
void Check(const std::uint8_t *area, std::uint32_t size, std::size_t real_size) {
    const std::vector<Item> expected = Reference(area, real_size);
    std::vector<Item> by_order = expected;
    std::stable_sort(by_order.begin(), by_order.end(), [](const Item &a, const Item &b) { return a.order < b.order; });
    const auto n = static_cast<std::uint32_t>(expected.size());

    CVexRegList list;
    list.UnPackList(area, size);
    Require(list.GetItemCount() == n);
    for (std::uint32_t i = 1; i <= n; ++i) {
        Require(Text(list.GetItem(i)) == expected[i - 1].text);
        Require(Text(list.GetItemByStartupOrder(i)) == by_order[i - 1].text);
    }
    Require(list.GetItem(0).IsEmpty() && list.GetItem(n + 1).IsEmpty());
    Require(list.GetItemByStartupOrder(0).IsEmpty() && list.GetItemByStartupOrder(n + 1).IsEmpty());

    std::unique_ptr<CVexRegListEx> sub = std::make_unique<CVexSubSysList>(CString(""), CString(""));
    sub->UnPackList(area, size);
    Require(sub->GetItemCount() == n);
    for (std::uint32_t i = 1; i <= n; ++i)
        Require(Text(sub->GetItemByOrder(static_cast<std::int32_t>(i))) == by_order[i - 1].text);
    Require(sub->GetItemByOrder(0).IsEmpty() && sub->GetItemByOrder(-1).IsEmpty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // The input's own bytes, so that any read beyond them is caught.
    if (size != 0) Check(data, static_cast<std::uint32_t>(std::min<std::size_t>(size, 0xFFFFFFFFu)), size);
    // As the list operations call it: a whole data area, size 0.
    auto area = std::make_unique<std::uint8_t[]>(kPackedAreaSize);
    std::memset(area.get(), 0, kPackedAreaSize);
    std::memcpy(area.get(), data, std::min(size, kPackedAreaSize));
    Check(area.get(), 0, kPackedAreaSize);
    return 0;
}
