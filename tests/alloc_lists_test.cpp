// Memory exhaustion while a list operation fills its array: std::bad_alloc
// reaches the caller, and an array already stored in the list out is the
// caller's to free. The program replaces the allocator, which the shared
// library uses too, and makes the n-th allocation of the calling thread fail;
// it also counts what a list call allocates and frees.
// Linux only: a Windows module carries its own allocator and unwinder.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "tests/support/fake_service.h"
#include "tests/support/wire.h"
#include "vexsrvapi.h"

namespace {
// 0: no failure; n: the n-th allocation from now on this thread fails.
thread_local long fail_countdown = 0;
// Allocations and frees of memory on this thread while counting is on.
thread_local bool counting = false;
thread_local long allocated = 0;
thread_local long freed = 0;
void CountFree(void *p) {
    if (counting && p != nullptr) ++freed;
}
} // namespace

void *operator new(std::size_t n) {
    if (counting) ++allocated;
    if (fail_countdown > 0 && --fail_countdown == 0) throw std::bad_alloc();
    if (void *p = std::malloc(n != 0 ? n : 1)) return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t n) {
    return ::operator new(n);
}
void operator delete(void *p) noexcept {
    CountFree(p);
    std::free(p);
}
void operator delete[](void *p) noexcept {
    CountFree(p);
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept {
    CountFree(p);
    std::free(p);
}
void operator delete[](void *p, std::size_t) noexcept {
    CountFree(p);
    std::free(p);
}

namespace vex::test {
namespace {

const std::vector<std::string> kNames = {"first task", "second task", "third task"};

Bytes ListReply() {
    Bytes r = MakeReply(0, 0, "", 8024);
    PutLE32(r, 24, 3);
    std::size_t off = 28;
    std::uint8_t order = 1;
    for (const auto &name : kNames) {
        r.at(off) = order++;
        r.at(off + 1) = static_cast<std::uint8_t>(name.size() + 1);
        PutStr(r, off + 2, name);
        off += name.size() + 3;
    }
    return r;
}

// Fails the 1st, 2nd, ... allocation of one call until the call gets through.
void FailEachAllocationInTurn(bool subsystems) {
    FakeService svc;
    int failures = 0;
    bool through = false;
    for (long k = 1; !through && k < 100; ++k) {
        svc.Script(ListReply());
        int32_t value = 9, status = 9;
        CStringArray *list = reinterpret_cast<CStringArray *>(static_cast<std::uintptr_t>(0x10));
        fail_countdown = k;
        try {
            const int32_t r =
                subsystems ? VexSrv_GetSubSysList(0, ".", svc.suffix().c_str(), &value, &status, &list, nullptr, 0)
                           : VexSrv_GetTaskList(0, ".", svc.suffix().c_str(), &value, &status, 1, &list, nullptr, 0);
            fail_countdown = 0;
            EXPECT_EQ(r, 1);
            ASSERT_NE(list, nullptr);
            ASSERT_EQ(list->GetSize(), 3);
            for (int i = 0; i < 3; ++i)
                EXPECT_EQ(std::string(list->GetAt(i).GetString()), kNames[i]);
            through = true;
        } catch (const std::bad_alloc &) {
            fail_countdown = 0;
            ++failures;
            // The reply was handed over before the array was filled.
            EXPECT_EQ(value, 0);
            EXPECT_EQ(status, 0);
            if (list != nullptr) {
                EXPECT_LT(list->GetSize(), 3);
                for (int i = 0; i < list->GetSize(); ++i)
                    EXPECT_EQ(std::string(list->GetAt(i).GetString()), kNames[i]);
            }
        }
        VexSrv_FreeCStringArray(list);
    }
    EXPECT_TRUE(through);
    // The array, its storage, one string per name: nothing else can fail.
    EXPECT_EQ(failures, 2 + static_cast<int>(kNames.size()));
}

TEST(ListExhaustion, TaskListPassesBadAllocToTheCaller) {
    FailEachAllocationInTurn(false);
}
TEST(ListExhaustion, SubsystemListPassesBadAllocToTheCaller) {
    FailEachAllocationInTurn(true);
}

// n names cost n + 2 allocations (the array, its element storage sized once
// from the count, one per kept string) and an empty list the array alone;
// nothing is freed before the call returns, so no temporaries are made.
TEST(ListAllocations, NNamesCostNPlusTwoAndNoTemporaries) {
    FakeService svc;
    struct Case {
        Bytes reply;
        long allocations;
        bool subsystems;
    };
    Bytes empty = MakeReply(0, 0, "", 8024);
    PutLE32(empty, 24, 0);
    const Case cases[] = {{ListReply(), 2 + static_cast<long>(kNames.size()), false},
                          {ListReply(), 2 + static_cast<long>(kNames.size()), true},
                          {empty, 1, false},
                          {empty, 1, true}};
    for (const Case &c : cases) {
        svc.Script(c.reply);
        int32_t value = 9, status = 9;
        CStringArray *list = nullptr;
        allocated = freed = 0;
        counting = true;
        const int32_t r = c.subsystems
                              ? VexSrv_GetSubSysList(0, ".", svc.suffix().c_str(), &value, &status, &list, nullptr, 0)
                              : VexSrv_GetTaskList(0, ".", svc.suffix().c_str(), &value, &status, 0, &list, nullptr, 0);
        counting = false;
        EXPECT_EQ(r, 1);
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(list->GetSize(), static_cast<int32_t>(c.allocations == 1 ? 0 : kNames.size()));
        EXPECT_EQ(allocated, c.allocations) << (c.subsystems ? "subsystems" : "tasks");
        EXPECT_EQ(freed, 0) << (c.subsystems ? "subsystems" : "tasks");
        VexSrv_FreeCStringArray(list);
    }
}

TEST(ListExhaustion, AFailedAddLeavesTheArrayAsItWas) {
    CStringArray arr;
    for (int i = 0; i < 8; ++i)
        arr.Add("name");
    for (long k : {1L, 2L}) { // the copy of the text, then the larger storage
        fail_countdown = k;
        EXPECT_THROW(arr.Add("ninth"), std::bad_alloc);
        fail_countdown = 0;
        EXPECT_EQ(arr.GetSize(), 8);
        EXPECT_STREQ(arr[7].GetString(), "name");
    }
    EXPECT_EQ(arr.Add("ninth"), 8);
}

} // namespace
} // namespace vex::test
