// The boundary strings and arrays, the packed-list writer and the list
// readers, including data areas that are not what they claim to be.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/wire.h"
#include "util/packed_list.h"
#include "util/reg_list.h"
#include "vexsrvapi.h"

namespace vex::test {
namespace {

using util::CVexRegList;
using util::CVexRegListEx;
using util::CVexSubSysList;
using util::PackedListWriter;

// A packed list built by hand from the format: count, then order, size,
// text and zero for each item.
Bytes Packed(std::uint32_t count, const std::vector<std::pair<std::uint8_t, std::string>> &items) {
    Bytes b(4, 0);
    PutLE32(b, 0, count);
    for (const auto &[order, text] : items) {
        b.push_back(order);
        b.push_back(static_cast<std::uint8_t>(text.size() + 1));
        b.insert(b.end(), text.begin(), text.end());
        b.push_back(0);
    }
    return b;
}
Bytes Packed(const std::vector<std::pair<std::uint8_t, std::string>> &items) {
    return Packed(static_cast<std::uint32_t>(items.size()), items);
}

std::vector<std::string> ByPosition(const CVexRegList &r) {
    std::vector<std::string> out;
    for (std::uint32_t i = 1; i <= r.GetItemCount(); ++i)
        out.emplace_back(r.GetItem(i).GetString());
    return out;
}
std::vector<std::string> ByStartupOrder(const CVexRegList &r) {
    std::vector<std::string> out;
    for (std::uint32_t i = 1; i <= r.GetItemCount(); ++i)
        out.emplace_back(r.GetItemByStartupOrder(i).GetString());
    return out;
}
std::vector<std::string> ByOrder(const CVexRegListEx &r) {
    std::vector<std::string> out;
    for (std::int32_t i = 1; static_cast<std::uint32_t>(i) <= r.GetItemCount(); ++i)
        out.emplace_back(r.GetItemByOrder(i).GetString());
    return out;
}

using Names = std::vector<std::string>;

// ---- CString and CStringArray ----------------------------------------------

TEST(CString, EmptyNullTextAndCopies) {
    const CString empty;
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_EQ(empty.GetLength(), 0);
    EXPECT_STREQ(empty.GetString(), "");
    EXPECT_TRUE(CString(nullptr).IsEmpty());
    EXPECT_TRUE(CString("").IsEmpty());

    CString a("alpha");
    EXPECT_EQ(a.GetLength(), 5);
    EXPECT_STREQ(a.GetString(), "alpha");
    CString b(a);
    a = CString("x");
    EXPECT_STREQ(b.GetString(), "alpha");
    EXPECT_STREQ(a.GetString(), "x");
    b = b; // self-assignment keeps the text
    EXPECT_STREQ(b.GetString(), "alpha");
    b = empty;
    EXPECT_TRUE(b.IsEmpty());

    EXPECT_STREQ(CString("abcdef", 3).GetString(), "abc");
    EXPECT_THROW(CString("abc", -1), std::invalid_argument);
    EXPECT_THROW(CString(nullptr, 2), std::invalid_argument);
}

TEST(CStringArray, AddReturnsTheSizeBeforeAndKeepsEveryItemThroughGrowth) {
    CStringArray arr;
    EXPECT_TRUE(arr.IsEmpty());
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(arr.Add(CString(std::to_string(i).c_str())), i);
    EXPECT_EQ(arr.Add("text"), 100);
    EXPECT_EQ(arr.Add(static_cast<const char *>(nullptr)), 101);
    EXPECT_EQ(arr.GetSize(), 102);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(std::string(arr[i].GetString()), std::to_string(i));
    EXPECT_STREQ(arr.GetAt(100).GetString(), "text");
    EXPECT_TRUE(arr[101].IsEmpty());
}

TEST(CStringArray, AccessOutsideThrowsInvalidArgument) {
    CStringArray arr;
    EXPECT_THROW(arr.GetAt(0), std::invalid_argument);
    arr.Add("one");
    EXPECT_THROW(arr.GetAt(-1), std::invalid_argument);
    EXPECT_THROW(arr[1], std::invalid_argument);
    EXPECT_THROW(arr.GetAt(INT32_MIN), std::invalid_argument);
    EXPECT_NO_THROW(arr[0]);
}

TEST(CStringArray, DeletedThroughTheBoundaryFunction) {
    auto *arr = new CStringArray;
    arr->Add("a");
    VexSrv_FreeCStringArray(arr);
    VexSrv_FreeCStringArray(nullptr);
}

// ---- The writer ---------------------------------------------------------------

TEST(PackedListWriter, WritesCountAndEntriesByteForByte) {
    Bytes area(16, 0xEE);
    PackedListWriter w(area);
    EXPECT_TRUE(w.Add(1, "A"));
    EXPECT_TRUE(w.Add(2, "B"));
    EXPECT_TRUE(w.Add(9, ""));
    EXPECT_EQ(w.count(), 3u);
    EXPECT_EQ(w.size(), 15u);
    const Bytes expected = {3, 0, 0, 0, 1, 2, 'A', 0, 2, 2, 'B', 0, 9, 1, 0, 0xEE};
    EXPECT_EQ(area, expected);
}

TEST(PackedListWriter, RefusesWhatWouldNotTravelIntactAndWritesNothing) {
    Bytes area(300, 0);
    PackedListWriter w(area);
    EXPECT_TRUE(w.Add(1, std::string(254, 'n')));
    EXPECT_FALSE(w.Add(2, std::string(255, 'n')));  // size byte would wrap
    EXPECT_FALSE(w.Add(2, std::string("a\0b", 3))); // zero inside the text
    EXPECT_FALSE(w.Add(2, std::string(40, 'x')));   // 43 bytes, 39 left
    EXPECT_TRUE(w.Add(2, std::string(36, 'x')));    // 39 bytes: the area is full
    EXPECT_FALSE(w.Add(3, ""));
    EXPECT_EQ(w.count(), 2u);
    EXPECT_EQ(w.size(), 300u);
    EXPECT_EQ(LE32(area, 0), 2u);

    Bytes tiny(3, 0xEE);
    PackedListWriter none(tiny);
    EXPECT_FALSE(none.ok());
    EXPECT_FALSE(none.Add(1, "a"));
    EXPECT_EQ(tiny, Bytes(3, 0xEE));
}

// ---- Readers over lists the writer made --------------------------------------

TEST(ListReaders, RoundTripByPositionAndByOrder) {
    Bytes area(util::kPackedAreaSize, 0);
    PackedListWriter w(area);
    ASSERT_TRUE(w.Add(3, "gamma"));
    ASSERT_TRUE(w.Add(1, "alpha"));
    ASSERT_TRUE(w.Add(2, "beta"));
    ASSERT_TRUE(w.Add(4, std::string(254, 'z')));

    CVexRegList list;
    EXPECT_TRUE(list.UnPackList(area.data(), 0));
    EXPECT_EQ(list.GetItemCount(), 4u);
    EXPECT_EQ(ByPosition(list), (Names{"gamma", "alpha", "beta", std::string(254, 'z')}));
    EXPECT_EQ(ByStartupOrder(list), (Names{"alpha", "beta", "gamma", std::string(254, 'z')}));

    // Used only through its base, as the list operations do.
    std::unique_ptr<CVexRegListEx> sub = std::make_unique<CVexSubSysList>(CString(""), CString(""));
    EXPECT_TRUE(sub->UnPackList(area.data(), 0));
    EXPECT_EQ(ByOrder(*sub), (Names{"alpha", "beta", "gamma", std::string(254, 'z')}));
}

TEST(ListReaders, AFullAreaOfTheSmallestItemsReadsBack) {
    Bytes area(util::kPackedAreaSize, 0);
    PackedListWriter w(area);
    std::uint32_t n = 0;
    while (w.Add(static_cast<std::uint8_t>(n % 7), ""))
        ++n;
    EXPECT_EQ(n, 2665u); // (8000 - 4) / 3
    EXPECT_EQ(w.size(), 7999u);
    CVexRegList list;
    EXPECT_TRUE(list.UnPackList(area.data(), 0));
    EXPECT_EQ(list.GetItemCount(), n);
    EXPECT_TRUE(list.GetItem(n).IsEmpty());
}

TEST(ListReaders, OrderBytesRankWithGapsAndTiesInListOrder) {
    const Bytes area = Packed({{5, "e"}, {0, "zero"}, {2, "b1"}, {2, "b2"}, {255, "last"}, {2, "b3"}});
    CVexRegList list;
    EXPECT_TRUE(list.UnPackList(area.data(), static_cast<std::uint32_t>(area.size())));
    EXPECT_EQ(ByStartupOrder(list), (Names{"zero", "b1", "b2", "b3", "e", "last"}));
    CVexSubSysList sub{CString("node"), CString("_A")};
    EXPECT_TRUE(sub.UnPackList(area.data(), static_cast<std::uint32_t>(area.size())));
    EXPECT_EQ(ByOrder(sub), ByStartupOrder(list));
    EXPECT_STREQ(sub.GetNode().GetString(), "node");
    EXPECT_STREQ(sub.GetSuffix().GetString(), "_A");
}

// Short lists are ranked by insertion, long ones by counting: on both sides
// of the switch the rank is the stable sort by order byte.
TEST(ListReaders, RankingAgreesWithAStableSortAtEveryLength) {
    std::mt19937 rng(18);
    for (std::size_t n : {0u, 1u, 2u, 23u, 24u, 25u, 26u, 100u, 600u}) {
        std::vector<std::pair<std::uint8_t, std::string>> items;
        for (std::size_t i = 0; i < n; ++i)
            items.emplace_back(static_cast<std::uint8_t>(rng() % (i % 2 == 0 ? 5 : 256)), std::to_string(i));
        auto ranked = items;
        std::stable_sort(ranked.begin(), ranked.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
        Names expected;
        for (const auto &item : ranked) expected.push_back(item.second);
        const Bytes area = Packed(items);
        CVexRegList list;
        EXPECT_TRUE(list.UnPackList(area.data(), static_cast<std::uint32_t>(area.size())));
        EXPECT_EQ(ByStartupOrder(list), expected) << n << " items";
    }
}

TEST(ListReaders, IndexesOutsideOneToCountGiveTheEmptyText) {
    const Bytes area = Packed({{1, "a"}, {2, "b"}});
    CVexRegList list;
    list.UnPackList(area.data(), static_cast<std::uint32_t>(area.size()));
    for (std::uint32_t i : {0u, 3u, 0xFFFFFFFFu}) {
        EXPECT_TRUE(list.GetItem(i).IsEmpty()) << i;
        EXPECT_TRUE(list.GetItemByStartupOrder(i).IsEmpty()) << i;
    }
    CVexRegListEx ex;
    ex.UnPackList(area.data(), static_cast<std::uint32_t>(area.size()));
    for (std::int32_t i : {0, 3, -1, INT32_MIN, INT32_MAX})
        EXPECT_TRUE(ex.GetItemByOrder(i).IsEmpty()) << i;
    // A fresh reader holds nothing.
    CVexRegList fresh;
    EXPECT_EQ(fresh.GetItemCount(), 0u);
    EXPECT_TRUE(fresh.GetItem(1).IsEmpty());
}

TEST(ListReaders, UnpackingAgainReplacesTheList) {
    const Bytes first = Packed({{1, "a"}, {2, "b"}});
    const Bytes second = Packed({{1, "c"}});
    CVexRegList list;
    list.UnPackList(first.data(), static_cast<std::uint32_t>(first.size()));
    list.UnPackList(second.data(), static_cast<std::uint32_t>(second.size()));
    EXPECT_EQ(ByPosition(list), (Names{"c"}));
    EXPECT_FALSE(list.UnPackList(second.data(), 3));
    EXPECT_EQ(list.GetItemCount(), 0u);
}

// ---- Hostile data areas -------------------------------------------------------

struct HostileCase {
    const char *name;
    Bytes area;
    Names whole; // the items a reader may deliver
};

std::vector<HostileCase> HostileCases() {
    std::vector<HostileCase> cases;
    cases.push_back({"NoRoomForTheCount", Bytes{2, 0, 0}, {}});
    cases.push_back({"NothingAtAll", Bytes{}, {}});
    cases.push_back({"CountPromisesMore", Packed(5, {{1, "a"}, {2, "bb"}}), {"a", "bb"}});
    cases.push_back({"CountHuge", Packed(0xFFFFFFFF, {{1, "a"}}), {"a"}});
    cases.push_back({"CountZeroWithItemsAfter", Packed(0, {{1, "a"}}), {}});
    cases.push_back({"ItemsBeyondTheCountIgnored", Packed(1, {{1, "a"}, {2, "b"}}), {"a"}});
    {
        Bytes b = Packed(3, {{1, "a"}, {2, "b"}});
        b[9] = 0; // second item's size byte: no room even for its zero
        cases.push_back({"SizeByteZero", b, {"a"}});
    }
    {
        Bytes b = Packed(2, {{1, "a"}, {2, "bcd"}});
        b[9] = 6; // runs past the end
        cases.push_back({"SizeRunsPastTheArea", b, {"a"}});
    }
    {
        Bytes b = Packed(2, {{1, "a"}, {2, "bcd"}});
        b.back() = 'x'; // no zero at the end of the text
        cases.push_back({"NoTerminatingZero", b, {"a"}});
    }
    {
        Bytes b = Packed(2, {{1, "a"}, {2, "bcd"}});
        b[11] = 0; // zero inside the text
        cases.push_back({"ZeroInsideTheText", b, {"a"}});
    }
    {
        Bytes b = Packed(2, {{1, "a"}, {2, "b"}});
        b.resize(9); // cut after the second item's order byte
        cases.push_back({"CutInsideAnEntryHeader", b, {"a"}});
    }
    return cases;
}

TEST(ListReaders, HostileAreasYieldOnlyWholeItemsAndCountAgrees) {
    for (const HostileCase &c : HostileCases()) {
        SCOPED_TRACE(c.name);
        // Exactly the bytes of the case on the heap, so that a checking build
        // catches any read past them.
        auto bytes = std::make_unique<std::uint8_t[]>(c.area.size() + 1);
        std::copy(c.area.begin(), c.area.end(), bytes.get());
        const auto size = static_cast<std::uint32_t>(c.area.size());
        CVexRegList list;
        if (size == 0) {
            // Size 0 means a whole data area; an empty area is passed as null.
            EXPECT_FALSE(list.UnPackList(nullptr, 0));
        } else {
            list.UnPackList(bytes.get(), size);
        }
        EXPECT_EQ(list.GetItemCount(), c.whole.size());
        EXPECT_EQ(ByPosition(list), c.whole);
        CVexRegListEx ex;
        if (size != 0) ex.UnPackList(bytes.get(), size);
        EXPECT_EQ(ex.GetItemCount(), c.whole.size());
    }
}

TEST(ListReaders, AnItemEndingExactlyAtTheAreasEndIsWholeAndOneByteMoreIsNot) {
    // 4 + 31 * 257 + 29 = 8000: the last item's zero is the area's last byte.
    auto area = std::make_unique<std::uint8_t[]>(util::kPackedAreaSize);
    PackedListWriter w(std::span<std::uint8_t>(area.get(), util::kPackedAreaSize));
    for (int i = 1; i <= 31; ++i)
        ASSERT_TRUE(w.Add(static_cast<std::uint8_t>(i), std::string(254, 'n')));
    ASSERT_TRUE(w.Add(32, std::string(26, 'L')));
    ASSERT_EQ(w.size(), util::kPackedAreaSize);
    CVexRegList list;
    EXPECT_TRUE(list.UnPackList(area.get(), 0));
    EXPECT_EQ(list.GetItemCount(), 32u);
    EXPECT_EQ(std::string(list.GetItemByStartupOrder(32).GetString()), std::string(26, 'L'));

    // In a larger buffer the reader still stops at 8000 bytes: the last item
    // made one byte longer is not whole.
    Bytes larger(area.get(), area.get() + util::kPackedAreaSize);
    larger.resize(util::kPackedAreaSize + 16, 0);
    const std::size_t last = util::kPackedAreaSize - 29;
    ++larger[last + 1];
    larger[util::kPackedAreaSize - 1] = 'L';
    EXPECT_FALSE(list.UnPackList(larger.data(), static_cast<std::uint32_t>(larger.size())));
    EXPECT_EQ(list.GetItemCount(), 31u);
}

// Random areas: whatever the bytes, the count agrees with what the accessors
// deliver, each item once in each order, every text within the area.
TEST(ListReaders, RandomAreasKeepTheirPromises) {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 300; ++round) {
        const std::size_t size = 1 + rng() % 64;
        Bytes area(size);
        for (auto &b : area)
            b = static_cast<std::uint8_t>(rng() % 4 == 0 ? 0 : rng() % 8);
        if (size >= 4) PutLE32(area, 0, rng() % 12);
        CVexRegList list;
        list.UnPackList(area.data(), static_cast<std::uint32_t>(size));
        Names by_position = ByPosition(list);
        Names by_order = ByStartupOrder(list);
        std::sort(by_position.begin(), by_position.end());
        std::sort(by_order.begin(), by_order.end());
        EXPECT_EQ(by_position, by_order);
        std::size_t room = size > 4 ? size - 4 : 0;
        std::size_t taken = 0;
        for (const auto &s : by_position)
            taken += s.size() + 3;
        EXPECT_LE(taken, room);
    }
}

} // namespace
} // namespace vex::test
