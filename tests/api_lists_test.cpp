// List retrieval, startup order and start at boot, through the built library
// against the fake service.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/fake_service.h"
#include "tests/support/wire.h"
#include "util/packed_list.h"
#include "vexsrvapi.h"

namespace vex::test {
namespace {

using Names = std::vector<std::string>;
using Items = std::vector<std::pair<std::uint8_t, std::string>>;

// A packed list built by hand: count, then order, size, text and zero.
Bytes Packed(std::uint32_t count, const Items &items) {
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

// An 8024-byte reply carrying area at offset 24.
Bytes ListReply(std::int32_t status, std::int32_t value, const Bytes &area) {
    Bytes r = MakeReply(status, value, "", 8024);
    std::copy(area.begin(), area.end(), r.begin() + 24);
    return r;
}

Names Read(const CStringArray *arr) {
    Names out;
    for (std::int32_t i = 0; i < arr->GetSize(); ++i)
        out.emplace_back(arr->GetAt(i).GetString());
    return out;
}

// A caller's array of names.
struct CallerArray {
    explicit CallerArray(const Names &names) {
        for (const auto &n : names)
            arr.Add(n.c_str());
    }
    CStringArray arr;
};

// A never-used pointer value, to see the list out cleared.
CStringArray *Poison() {
    return reinterpret_cast<CStringArray *>(static_cast<std::uintptr_t>(0x10));
}

// ---- Reading lists --------------------------------------------------------------

TEST(GetTaskList, RequestCarriesTheCodeOfTheOrderAndTheLockKey) {
    FakeService svc;
    for (int i = 0; i < 4; ++i)
        svc.Script(ListReply(0, 0, Packed(0, {})));
    int32_t value = 0, status = 0;
    const char *sfx = svc.suffix().c_str();
    CStringArray *list = nullptr;
    for (int32_t selector : {1, -5, 0}) {
        EXPECT_EQ(VexSrv_GetTaskList(-77, ".", sfx, &value, &status, selector, &list, nullptr, 0), 1);
        VexSrv_FreeCStringArray(list);
    }
    EXPECT_EQ(VexSrv_GetSubSysList(0x12345678, ".", sfx, &value, &status, &list, nullptr, 0), 1);
    VexSrv_FreeCStringArray(list);
    const auto reqs = svc.Requests();
    ASSERT_EQ(reqs.size(), 4u);
    EXPECT_BYTES_EQ(Request(12, -77), reqs[0]);
    EXPECT_BYTES_EQ(Request(12, -77), reqs[1]); // any selector but 0 asks for startup order
    EXPECT_BYTES_EQ(Request(13, -77), reqs[2]);
    EXPECT_BYTES_EQ(Request(16, 0x12345678), reqs[3]);
}

TEST(GetTaskList, ItemsInListOrderOrByStartupOrderWithIndexZeroHoldingItemOne) {
    FakeService svc;
    const Bytes area = Packed(3, {{2, "B"}, {1, "alpha"}, {3, "C"}});
    for (int i = 0; i < 3; ++i)
        svc.Script(ListReply(0, 0, area));
    int32_t value = 1, status = 1;
    const char *sfx = svc.suffix().c_str();
    CStringArray *list = Poison();
    ASSERT_EQ(VexSrv_GetTaskList(0, ".", sfx, &value, &status, 0, &list, nullptr, 0), 1);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(Read(list), (Names{"B", "alpha", "C"}));
    EXPECT_EQ(value, 0);
    EXPECT_EQ(status, 0);
    VexSrv_FreeCStringArray(list);

    ASSERT_EQ(VexSrv_GetTaskList(0, ".", sfx, &value, &status, 1, &list, nullptr, 0), 1);
    EXPECT_EQ(Read(list), (Names{"alpha", "B", "C"}));
    VexSrv_FreeCStringArray(list);

    ASSERT_EQ(VexSrv_GetSubSysList(0, ".", sfx, &value, &status, &list, nullptr, 0), 1);
    EXPECT_EQ(Read(list), (Names{"alpha", "B", "C"}));
    VexSrv_FreeCStringArray(list);
}

TEST(GetTaskList, AnEmptyListGivesAnEmptyArrayNotNull) {
    // A packed list of no items, a short reply and an empty reply (both
    // read as an all-zero area).
    for (const Bytes &reply : {ListReply(0, 0, Packed(0, {})), MakeReply(0, 0, "", 24), Bytes{}}) {
        SCOPED_TRACE(reply.size());
        FakeService svc;
        svc.Script(reply);
        svc.Script(reply);
        int32_t value = 1, status = 1;
        CStringArray *list = Poison();
        ASSERT_EQ(VexSrv_GetTaskList(0, ".", svc.suffix().c_str(), &value, &status, 1, &list, nullptr, 0), 1);
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(list->GetSize(), 0);
        // A returned array grows inside the module that made it, and is
        // still freed through the library.
        EXPECT_EQ(list->Add("appended by the caller"), 0);
        VexSrv_FreeCStringArray(list);
        list = Poison();
        ASSERT_EQ(VexSrv_GetSubSysList(0, ".", svc.suffix().c_str(), &value, &status, &list, nullptr, 0), 1);
        ASSERT_NE(list, nullptr);
        EXPECT_TRUE(list->IsEmpty());
        VexSrv_FreeCStringArray(list);
    }
}

// Value decides list or text; status alone decides the result.
TEST(GetTaskList, ValueAndStatusMatrix) {
    struct Row {
        std::int32_t status, value;
        bool list;
        std::int32_t result;
    };
    const Row rows[] = {{0, 0, true, 1}, {5, 0, true, 0}, {0, 3, false, 1}, {4, -1, false, 0}};
    for (const Row &row : rows) {
        SCOPED_TRACE(::testing::Message() << "status " << row.status << " value " << row.value);
        FakeService svc;
        Bytes reply = ListReply(row.status, row.value, Packed(1, {{1, "task"}}));
        if (row.value != 0) PutStr(reply, 24, "the service says no");
        svc.Script(reply);
        svc.Script(reply);
        for (bool subsystems : {false, true}) {
            int32_t value = 99, status = 99;
            CStringArray *list = Poison();
            char msg[64];
            std::memset(msg, '#', sizeof msg);
            const int32_t r =
                subsystems
                    ? VexSrv_GetSubSysList(0, ".", svc.suffix().c_str(), &value, &status, &list, msg, sizeof msg)
                    : VexSrv_GetTaskList(0, ".", svc.suffix().c_str(), &value, &status, 1, &list, msg, sizeof msg);
            EXPECT_EQ(r, row.result);
            EXPECT_EQ(value, row.value);
            EXPECT_EQ(status, row.status);
            if (row.list) {
                ASSERT_NE(list, nullptr);
                EXPECT_EQ(Read(list), (Names{"task"}));
                // No text is copied: the buffer keeps all but its cleared first byte.
                EXPECT_EQ(msg[0], 0);
                EXPECT_EQ(std::string(msg + 1, sizeof msg - 1), std::string(sizeof msg - 1, '#'));
                VexSrv_FreeCStringArray(list);
            } else {
                EXPECT_EQ(list, nullptr);
                EXPECT_STREQ(msg, "the service says no");
            }
        }
    }
}

TEST(GetTaskList, FailedExchangeLeavesListNullAndValueUntouched) {
    const std::string sfx = UniqueSuffix("_absent");
    int32_t value = 11, status = 0;
    char msg[300];
    CStringArray *list = Poison();
    EXPECT_EQ(VexSrv_GetTaskList(0, ".", sfx.c_str(), &value, &status, 0, &list, msg, sizeof msg), 0);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(value, 11);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(std::string(msg).rfind("Cannot connect to service", 0), 0u);
    list = Poison();
    EXPECT_EQ(VexSrv_GetSubSysList(0, ".", sfx.c_str(), &value, &status, &list, msg, sizeof msg), 0);
    EXPECT_EQ(list, nullptr);
}

TEST(GetTaskList, NullListOutIsRefusedAndNothingIsSent) {
    FakeService svc;
    int32_t value = 5, status = 6;
    char msg[64];
    EXPECT_EQ(VexSrv_GetTaskList(0, ".", svc.suffix().c_str(), &value, &status, 1, nullptr, msg, sizeof msg), 0);
    EXPECT_STREQ(msg, "list pointer should be defined");
    std::memset(msg, '#', sizeof msg);
    EXPECT_EQ(VexSrv_GetSubSysList(0, ".", svc.suffix().c_str(), &value, &status, nullptr, msg, sizeof msg), 0);
    EXPECT_STREQ(msg, "list pointer should be defined");
    EXPECT_EQ(svc.RequestCount(), 0u);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(status, 6);
    VexSrv_FreeCStringArray(nullptr); // does nothing
}

TEST(GetTaskList, HostileAreaGivesTheWholeItemsOnly) {
    FakeService svc;
    Bytes area = Packed(1000, {{1, "one"}, {2, "two"}, {3, "three"}});
    area[4 + 6 + 6 + 1] = 200; // third item's size runs into zeros: its text ends too soon
    svc.Script(ListReply(0, 0, area));
    // No zero anywhere: the count promises, the bytes never deliver.
    Bytes junk(8000, 0x41);
    svc.Script(ListReply(0, 0, junk));
    int32_t value = 0, status = 0;
    CStringArray *list = nullptr;
    ASSERT_EQ(VexSrv_GetTaskList(0, ".", svc.suffix().c_str(), &value, &status, 0, &list, nullptr, 0), 1);
    EXPECT_EQ(Read(list), (Names{"one", "two"}));
    VexSrv_FreeCStringArray(list);
    ASSERT_EQ(VexSrv_GetTaskList(0, ".", svc.suffix().c_str(), &value, &status, 1, &list, nullptr, 0), 1);
    EXPECT_TRUE(list->IsEmpty());
    VexSrv_FreeCStringArray(list);
}

// Lists as the service writes them.
TEST(GetTaskList, RoundTripsListsWrittenByTheServicesWriter) {
    FakeService svc;
    // 255 names whose startup order runs backwards.
    Names names;
    Bytes area(util::kPackedAreaSize, 0);
    util::PackedListWriter w(area);
    for (int i = 0; i < 255; ++i) {
        std::string name = "task_" + std::to_string(i) + std::string(static_cast<std::size_t>(i % 40), 'x');
        ASSERT_TRUE(w.Add(static_cast<std::uint8_t>(255 - i), name));
        names.push_back(name);
    }
    svc.Script(ListReply(0, 0, area));
    svc.Script(ListReply(0, 0, area));
    svc.Script(ListReply(0, 0, area));
    // A full area of 1999 names that share one order byte: ties keep list order.
    Names many;
    Bytes full(util::kPackedAreaSize, 0);
    util::PackedListWriter wf(full);
    for (int i = 0; i < 1999; ++i) {
        many.push_back(std::string(1, static_cast<char>('a' + i % 26)));
        ASSERT_TRUE(wf.Add(7, many.back()));
    }
    ASSERT_EQ(wf.size(), util::kPackedAreaSize);
    svc.Script(ListReply(0, 0, full));

    int32_t value = 0, status = 0;
    const char *sfx = svc.suffix().c_str();
    CStringArray *list = nullptr;
    ASSERT_EQ(VexSrv_GetTaskList(0, ".", sfx, &value, &status, 0, &list, nullptr, 0), 1);
    EXPECT_EQ(Read(list), names);
    VexSrv_FreeCStringArray(list);
    ASSERT_EQ(VexSrv_GetTaskList(0, ".", sfx, &value, &status, 1, &list, nullptr, 0), 1);
    EXPECT_EQ(Read(list), Names(names.rbegin(), names.rend()));
    VexSrv_FreeCStringArray(list);
    ASSERT_EQ(VexSrv_GetSubSysList(0, ".", sfx, &value, &status, &list, nullptr, 0), 1);
    EXPECT_EQ(Read(list), Names(names.rbegin(), names.rend()));
    VexSrv_FreeCStringArray(list);
    ASSERT_EQ(VexSrv_GetTaskList(0, ".", sfx, &value, &status, 1, &list, nullptr, 0), 1);
    EXPECT_EQ(Read(list), many);
    VexSrv_FreeCStringArray(list);
}

// ---- Startup order ----------------------------------------------------------------

// The request of a startup order: count at 24, entries from 28.
Bytes StartupRequest(std::uint32_t count, const Items &entries) {
    Bytes b = Request(32);
    PutLE32(b, 24, count);
    std::size_t off = 28;
    for (const auto &[order, name] : entries) {
        b.at(off) = order;
        b.at(off + 1) = static_cast<std::uint8_t>(name.size() + 1);
        PutStr(b, off + 2, name);
        off += name.size() + 3;
    }
    return b;
}

TEST(SetStartupOrders, WorkedExampleEmptyStringTakesNoOrderNumber) {
    FakeService svc;
    CallerArray names({"A", "", "B"});
    int32_t value = 3, status = 3;
    char msg[16] = "old";
    EXPECT_EQ(
        VexSrv_SetRegTaskListStartupOrders(".", svc.suffix().c_str(), &value, &status, &names.arr, msg, sizeof msg), 1);
    ASSERT_EQ(svc.RequestCount(), 1u);
    Bytes expected = Request(32);
    const std::uint8_t payload[] = {2, 0, 0, 0, 1, 2, 'A', 0, 2, 2, 'B', 0};
    std::copy(std::begin(payload), std::end(payload), expected.begin() + 24);
    EXPECT_BYTES_EQ(expected, svc.Requests()[0]);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(status, 0);
    EXPECT_STREQ(msg, "");
    EXPECT_EQ(names.arr.GetSize(), 3); // the caller's array is only read
}

// 4 + 31 * (254 + 3) + (26 + 3) = 8000 bytes.
Names FullPayloadNames(std::size_t last_length) {
    Names names;
    for (int i = 0; i < 31; ++i)
        names.push_back(std::string(254, static_cast<char>('a' + i % 26)));
    names.push_back(std::string(last_length, 'Z'));
    return names;
}

TEST(SetStartupOrders, PayloadOfExactly8000BytesIsSentAnd8001Refused) {
    FakeService svc;
    const Names names = FullPayloadNames(26);
    Items entries;
    for (std::size_t i = 0; i < names.size(); ++i)
        entries.emplace_back(static_cast<std::uint8_t>(i + 1), names[i]);
    const Bytes expected = StartupRequest(32, entries);
    ASSERT_EQ(expected.size(), 8024u); // the last zero is the request's last byte
    ASSERT_EQ(expected[8023], 0);
    ASSERT_EQ(expected[8022], 'Z');

    int32_t value = 0, status = 0;
    CallerArray full(names);
    EXPECT_EQ(VexSrv_SetRegTaskListStartupOrders(".", svc.suffix().c_str(), &value, &status, &full.arr, nullptr, 0), 1);
    // Empty strings anywhere take no room: the same request again.
    Names with_empties = names;
    with_empties.insert(with_empties.begin(), "");
    with_empties.insert(with_empties.begin() + 10, "");
    with_empties.push_back("");
    CallerArray padded(with_empties);
    EXPECT_EQ(VexSrv_SetRegTaskListStartupOrders(".", svc.suffix().c_str(), &value, &status, &padded.arr, nullptr, 0),
              1);
    ASSERT_EQ(svc.RequestCount(), 2u);
    EXPECT_BYTES_EQ(expected, svc.Requests()[0]);
    EXPECT_BYTES_EQ(expected, svc.Requests()[1]);

    value = 5, status = 6;
    char msg[64];
    CallerArray over(FullPayloadNames(27));
    EXPECT_EQ(
        VexSrv_SetRegTaskListStartupOrders(".", svc.suffix().c_str(), &value, &status, &over.arr, msg, sizeof msg), 0);
    EXPECT_STREQ(msg, "Too many tasks in the registered tasks list");
    EXPECT_EQ(svc.RequestCount(), 2u);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(status, 6);
}

TEST(SetStartupOrders, AllEmptyArrayIsSentWithCountZero) {
    FakeService svc;
    CallerArray names({"", "", ""});
    int32_t value = 0, status = 0;
    EXPECT_EQ(VexSrv_SetRegTaskListStartupOrders(".", svc.suffix().c_str(), &value, &status, &names.arr, nullptr, 0),
              1);
    ASSERT_EQ(svc.RequestCount(), 1u);
    EXPECT_BYTES_EQ(Request(32), svc.Requests()[0]);
}

// Refusals: nothing sent, value and status untouched, the message exact.
TEST(SetStartupOrders, RefusalsSendNothing) {
    FakeService svc;
    CallerArray empty(Names{});
    CallerArray long_name({"ok", std::string(255, 'L')});
    Names many;
    for (int i = 0; i < 256; ++i)
        many.push_back("t");
    CallerArray too_many(many);
    struct Row {
        const CStringArray *arr;
        const char *message;
    };
    const Row rows[] = {
        {nullptr, "task names array should be defined"},
        {&empty.arr, "Tasks list is empty"},
        {&long_name.arr, "Task name is too long for the startup order (at most 254 characters)"},
        {&too_many.arr, "Too many tasks for the startup order (at most 255 named tasks)"},
    };
    for (const Row &row : rows) {
        int32_t value = 5, status = 6;
        char msg[96];
        std::memset(msg, '#', sizeof msg);
        EXPECT_EQ(
            VexSrv_SetRegTaskListStartupOrders(".", svc.suffix().c_str(), &value, &status, row.arr, msg, sizeof msg),
            0);
        EXPECT_STREQ(msg, row.message);
        EXPECT_EQ(value, 5);
        EXPECT_EQ(status, 6);
    }
    EXPECT_EQ(svc.RequestCount(), 0u);
}

TEST(SetStartupOrders, LongestNameAnd255NamesAreSent) {
    FakeService svc;
    int32_t value = 0, status = 0;
    const std::string longest(254, 'L');
    CallerArray one({longest});
    EXPECT_EQ(VexSrv_SetRegTaskListStartupOrders(".", svc.suffix().c_str(), &value, &status, &one.arr, nullptr, 0), 1);
    Names many;
    Items entries;
    for (int i = 1; i <= 255; ++i) {
        many.push_back("t");
        entries.emplace_back(static_cast<std::uint8_t>(i), "t");
    }
    CallerArray names(many);
    EXPECT_EQ(VexSrv_SetRegTaskListStartupOrders(".", svc.suffix().c_str(), &value, &status, &names.arr, nullptr, 0),
              1);
    ASSERT_EQ(svc.RequestCount(), 2u);
    EXPECT_BYTES_EQ(StartupRequest(1, {{1, longest}}), svc.Requests()[0]);
    EXPECT_BYTES_EQ(StartupRequest(255, entries), svc.Requests()[1]);
}

// ---- Both setters: the reply's text only when the value is not 0 --------------

TEST(StartupSetters, ReplyTextOnlyWhenValueIsNotZeroAndStatusDecides) {
    FakeService svc;
    CallerArray names({"A"});
    struct Row {
        std::int32_t status, value;
        bool text;
        std::int32_t result;
    };
    const Row rows[] = {{0, 0, false, 1}, {3, 0, false, 0}, {0, 7, true, 1}, {2, -7, true, 0}};
    for (const Row &row : rows) {
        SCOPED_TRACE(::testing::Message() << "status " << row.status << " value " << row.value);
        svc.Script(row.status, row.value, "from the service", 536);
        svc.Script(row.status, row.value, "from the service", 8024); // boot start has a long reply
        for (bool boot : {false, true}) {
            int32_t value = 99, status = 99;
            char msg[32];
            std::memset(msg, '#', sizeof msg);
            const int32_t r =
                boot ? VexSrv_SetStartupAtBoot(".", svc.suffix().c_str(), &value, &status, 1, msg, sizeof msg)
                     : VexSrv_SetRegTaskListStartupOrders(".", svc.suffix().c_str(), &value, &status, &names.arr, msg,
                                                          sizeof msg);
            EXPECT_EQ(r, row.result);
            EXPECT_EQ(value, row.value);
            EXPECT_EQ(status, row.status);
            if (row.text) {
                EXPECT_STREQ(msg, "from the service");
            } else {
                EXPECT_EQ(msg[0], 0);
                EXPECT_EQ(std::string(msg + 1, sizeof msg - 1), std::string(sizeof msg - 1, '#'));
            }
        }
    }
}

TEST(SetStartupAtBoot, SwitchOneSendsOneEveryOtherValueZero) {
    FakeService svc;
    int32_t value = 0, status = 0;
    for (int32_t on : {1, 2, -1, 0}) {
        svc.Script(0, 0, "", 8024);
        EXPECT_EQ(VexSrv_SetStartupAtBoot(".", svc.suffix().c_str(), &value, &status, on, nullptr, 0), 1);
    }
    const auto reqs = svc.Requests();
    ASSERT_EQ(reqs.size(), 4u);
    Bytes on_request = Request(33);
    PutLE32(on_request, 12, 1);
    EXPECT_BYTES_EQ(on_request, reqs[0]);
    for (std::size_t i = 1; i < 4; ++i)
        EXPECT_BYTES_EQ(Request(33), reqs[i]);
}

TEST(StartupSetters, ReplySizes) {
    // The startup order offers 536 bytes, start at boot 8024.
    FakeService svc;
    svc.Script(0, 0, "", 8024);
    svc.Script(0, 0, "", 8025);
    CallerArray names({"A"});
    int32_t value = 0, status = 0;
    EXPECT_EQ(VexSrv_SetRegTaskListStartupOrders(".", svc.suffix().c_str(), &value, &status, &names.arr, nullptr, 0),
              0);
    EXPECT_EQ(status, 234);
    EXPECT_EQ(VexSrv_SetStartupAtBoot(".", svc.suffix().c_str(), &value, &status, 1, nullptr, 0), 0);
    EXPECT_EQ(status, 234);
}

} // namespace
} // namespace vex::test
