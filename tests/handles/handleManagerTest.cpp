// The handle manager on one thread: creation, lookup by number and type,
// recursion, the full table, the counter's wrap, and misuse that ends the
// process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "handles/assertionPattern.h"
#include "handles/handleManager.h"
#include "handles/handleTestSupport.h"

namespace {

using vok_test::countFree;
using vok_test::entryOf;
using vok_test::kDeviceType;
using vok_test::kOtherType;
using vok_test::lockStateOf;
using vok_test::Tracked;

constexpr const char* kCreate =
    "bool vokCreateAndLockHandle(uint32_t, void*, VOK_FREE_HANDLE_MEMORY, VokHandle*)";
constexpr const char* kUnlock = "void vokUnlockHandle(VokHandle)";

std::string managerAssertion(const char* function, const char* expression) {
    return vok_test::assertionReport("handleManager.cpp", function, expression);
}

class HandleManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        liveBefore_ = gHandleCount;
    }
    // Every test releases the handles it made, so none depends on another.
    void TearDown() override { EXPECT_EQ(gHandleCount, liveBefore_); }

    VokHandle createUnlocked(Tracked& tracked) {
        VokHandle handle = kVokNoHandle;
        EXPECT_TRUE(vokCreateAndLockHandle(kDeviceType, &tracked, countFree, &handle));
        vokUnlockHandle(handle);
        return handle;
    }

    uint32_t liveBefore_ = 0;
};

TEST_F(HandleManagerTest, CreatorHoldsTheNewHandleUntilItUnlocks) {
    Tracked tracked;
    VokHandle handle = kVokNoHandle;
    ASSERT_TRUE(vokCreateAndLockHandle(kDeviceType, &tracked, countFree, &handle));
    ASSERT_NE(handle, kVokNoHandle);
    VokHandleEntry* entry = entryOf(handle);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->handleType, kDeviceType);
    EXPECT_EQ(entry->handleMemory, &tracked);
    EXPECT_EQ(lockStateOf(entry->entryLock), 3u);
    EXPECT_EQ(lockStateOf(gCriticalSection), 2u);

    vokUnlockHandle(handle);
    EXPECT_EQ(lockStateOf(entry->entryLock), 2u);
    EXPECT_EQ(vokOpenAndLockHandle(handle, kDeviceType), &tracked);
    EXPECT_EQ(lockStateOf(entry->entryLock), 3u);
    vokUnlockHandle(handle);

    EXPECT_TRUE(vokFreeHandle(handle, kDeviceType));
    EXPECT_EQ(tracked.frees, 1);
    EXPECT_EQ(vokOpenAndLockHandle(handle, kDeviceType), nullptr);
    EXPECT_FALSE(vokFreeHandle(handle, kDeviceType));
    EXPECT_EQ(tracked.frees, 1);
    EXPECT_EQ(lockStateOf(gCriticalSection), 2u);
}

TEST_F(HandleManagerTest, FirstHandleOfAProcessIs256AndNumbersAreNotReused) {
    // A fresh process: nothing has been created in it yet.
    EXPECT_EXIT(
        {
            Tracked tracked;
            VokHandle first = 0;
            VokHandle second = 0;
            VokHandle third = 0;
            vokCreateAndLockHandle(kDeviceType, &tracked, countFree, &first);
            vokUnlockHandle(first);
            vokCreateAndLockHandle(kDeviceType, &tracked, countFree, &second);
            vokUnlockHandle(second);
            vokFreeHandle(first, kDeviceType);
            vokCreateAndLockHandle(kDeviceType, &tracked, countFree, &third);
            vokUnlockHandle(third);
            std::exit(first == 256 && second == 257 && third == 258 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(HandleManagerTest, UnknownNumberOrOtherTypeIsNotFound) {
    Tracked tracked;
    const VokHandle handle = createUnlocked(tracked);

    EXPECT_EQ(vokOpenAndLockHandle(handle, kOtherType), nullptr);
    EXPECT_FALSE(vokFreeHandle(handle, kOtherType));
    for (const VokHandle unknown : {0u, 255u, handle + 1, kVokNoHandle}) {
        EXPECT_EQ(vokOpenAndLockHandle(unknown, kDeviceType), nullptr) << unknown;
        EXPECT_FALSE(vokFreeHandle(unknown, kDeviceType)) << unknown;
    }
    EXPECT_EQ(tracked.frees, 0);
    EXPECT_EQ(lockStateOf(entryOf(handle)->entryLock), 2u);
    EXPECT_EQ(lockStateOf(gCriticalSection), 2u);

    EXPECT_TRUE(vokFreeHandle(handle, kDeviceType));
    EXPECT_EQ(tracked.frees, 1);
}

TEST_F(HandleManagerTest, SameThreadMayOpenAHandleAgainAndUnlocksEachOpen) {
    Tracked tracked;
    const VokHandle handle = createUnlocked(tracked);
    const VokHandleEntry* entry = entryOf(handle);

    EXPECT_EQ(vokOpenAndLockHandle(handle, kDeviceType), &tracked);
    EXPECT_EQ(vokOpenAndLockHandle(handle, kDeviceType), &tracked);
    EXPECT_EQ(lockStateOf(entry->entryLock), 4u);
    // A second open with the wrong type finds nothing, even for the holder.
    EXPECT_EQ(vokOpenAndLockHandle(handle, kOtherType), nullptr);
    vokUnlockHandle(handle);
    EXPECT_EQ(lockStateOf(entry->entryLock), 3u);
    vokUnlockHandle(handle);
    ASSERT_EQ(lockStateOf(entry->entryLock), 2u);

    void* seenByOther = nullptr;
    std::thread other([&] {
        seenByOther = vokOpenAndLockHandle(handle, kDeviceType);
        if (seenByOther != nullptr) {
            vokUnlockHandle(handle);
        }
    });
    other.join();
    EXPECT_EQ(seenByOther, &tracked);
    EXPECT_TRUE(vokFreeHandle(handle, kDeviceType));
}

TEST_F(HandleManagerTest, ThreadMayHoldSeveralHandlesAndUnlockThemInAnyOrder) {
    std::vector<Tracked> tracked(5);
    std::vector<VokHandle> handles;
    for (Tracked& t : tracked) {
        VokHandle handle = kVokNoHandle;
        ASSERT_TRUE(vokCreateAndLockHandle(kDeviceType, &t, countFree, &handle));
        handles.push_back(handle);
    }
    for (const size_t i : {2u, 0u, 4u, 1u, 3u}) {
        vokUnlockHandle(handles[i]);
        EXPECT_EQ(lockStateOf(entryOf(handles[i])->entryLock), 2u) << i;
    }
    for (const VokHandle handle : handles) {
        EXPECT_TRUE(vokFreeHandle(handle, kDeviceType));
    }
    for (const Tracked& t : tracked) {
        EXPECT_EQ(t.frees, 1);
    }
}

TEST_F(HandleManagerTest, FullTableRefusesCreationAndLeavesEverythingAsItWas) {
    std::vector<std::unique_ptr<Tracked>> tracked;
    std::vector<VokHandle> handles;
    while (!vokSortArrayIsFull()) {
        tracked.push_back(std::make_unique<Tracked>());
        handles.push_back(createUnlocked(*tracked.back()));
    }
    const uint32_t last = gLastHandle;

    Tracked refused;
    VokHandle handle = 0x5A5A5A5Au;
    EXPECT_FALSE(vokCreateAndLockHandle(kDeviceType, &refused, countFree, &handle));
    EXPECT_EQ(handle, 0x5A5A5A5Au);
    EXPECT_EQ(gHandleCount, kVokSortArraySize);
    EXPECT_EQ(gLastHandle, last);
    EXPECT_EQ(refused.frees, 0);
    EXPECT_EQ(lockStateOf(gCriticalSection), 2u);

    // One free makes room again.
    ASSERT_TRUE(vokFreeHandle(handles.back(), kDeviceType));
    handles.back() = createUnlocked(refused);
    for (const VokHandle h : handles) {
        EXPECT_TRUE(vokFreeHandle(h, kDeviceType));
    }
    for (const auto& t : tracked) {
        EXPECT_EQ(t->frees, 1);
    }
    EXPECT_EQ(refused.frees, 1);
}

TEST_F(HandleManagerTest, NullCreationArgumentsEndTheProcessInOrder) {
    Tracked tracked;
    VokHandle handle = 0;
    EXPECT_DEATH(vokCreateAndLockHandle(kDeviceType, nullptr, nullptr, nullptr),
                 managerAssertion(kCreate, "handle"));
    EXPECT_DEATH(vokCreateAndLockHandle(kDeviceType, nullptr, nullptr, &handle),
                 managerAssertion(kCreate, "handleMemory"));
    EXPECT_DEATH(vokCreateAndLockHandle(kDeviceType, &tracked, nullptr, &handle),
                 managerAssertion(kCreate, "freeHandleMemory"));
}

TEST_F(HandleManagerTest, UnlockOfANumberTheThreadDoesNotHoldEndsTheProcess) {
    const std::string report = managerAssertion(kUnlock, "handleLock != NULL");
    EXPECT_DEATH(vokUnlockHandle(0x12345u), report);

    Tracked tracked;
    const VokHandle handle = createUnlocked(tracked);
    // One unlock more than the opens.
    EXPECT_DEATH(
        {
            vokOpenAndLockHandle(handle, kDeviceType);
            vokUnlockHandle(handle);
            vokUnlockHandle(handle);
        },
        report);
    // Held by one thread, unlocked by another.
    EXPECT_DEATH(
        {
            vokOpenAndLockHandle(handle, kDeviceType);
            std::thread([handle] { vokUnlockHandle(handle); }).join();
        },
        report);
    EXPECT_TRUE(vokFreeHandle(handle, kDeviceType));
    // Freed: the number is gone.
    EXPECT_DEATH(vokUnlockHandle(handle), report);
}

TEST_F(HandleManagerTest, FreeByTheHoldingThreadEndsTheProcess) {
    Tracked tracked;
    const VokHandle handle = createUnlocked(tracked);
    EXPECT_DEATH(
        {
            vokOpenAndLockHandle(handle, kDeviceType);
            vokFreeHandle(handle, kDeviceType);
        },
        vok_test::assertionReport("criticalSection.cpp",
                                  "void vokDeleteCriticalSection(VokCriticalSection*)",
                                  "cs->locked <= 2"));
    EXPECT_TRUE(vokFreeHandle(handle, kDeviceType));
    EXPECT_EQ(tracked.frees, 1);
}

}  // namespace
