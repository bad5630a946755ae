// Memory exhaustion while a list operation fills its array: std::bad_alloc
// reaches the caller, and an array already stored in the list out is the
// caller's to free. The program replaces the allocator, which the shared
// library uses too, and makes the n-th allocation of the calling thread fail.
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
} // namespace

void *operator new(std::size_t n) {
    if (fail_countdown > 0 && --fail_countdown == 0) throw std::bad_alloc();
    if (void *p = std::malloc(n != 0 ? n : 1)) return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t n) {
    return ::operator new(n);
}
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete[](void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void *p, std::size_t) noexcept {
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
    // The array, its storage, and a temporary and a copy of each name.
    EXPECT_GE(failures, 8);
}

TEST(ListExhaustion, TaskListPassesBadAllocToTheCaller) {
    FailEachAllocationInTurn(false);
}
TEST(ListExhaustion, SubsystemListPassesBadAllocToTheCaller) {
    FailEachAllocationInTurn(true);
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
