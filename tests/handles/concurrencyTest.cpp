// Handles and sections under real threads: lazy set-up raced by many threads,
// waiting for a busy handle, freeing a handle that is in use, re-opening by
// the holder while others wait, and a random mix of every operation from many
// threads while the counter wraps and slots move.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <latch>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "handles/criticalSection.h"
#include "handles/handleManager.h"
#include "handles/handleTestSupport.h"
#include "handles/pthreadWraps.h"
#include "handles/sortArray.h"

namespace {

using vok_test::countFree;
using vok_test::entryOf;
using vok_test::gPthreadWraps;
using vok_test::kDeviceType;
using vok_test::kOtherType;
using vok_test::lockStateOf;
using vok_test::Tracked;

template <typename Predicate>
void waitUntil(Predicate done) {
    while (!done()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

TEST(SectionConcurrencyTest, ZeroedSectionEnteredByManyThreadsIsSetUpOnceAndSerialises) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 200;
    auto cs = std::make_unique<VokCriticalSection>();  // zero-filled
    gPthreadWraps.countedInits = 0;
    gPthreadWraps.countedMutex = &cs->recursiveMutex;

    std::latch start(kThreads);
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    long guarded = 0;  // changed only inside the section
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            start.arrive_and_wait();
            for (int round = 0; round < kRounds; ++round) {
                vokEnterCriticalSection(cs.get());
                vokEnterCriticalSection(cs.get());
                if (inside.fetch_add(1) != 0) {
                    ++overlaps;
                }
                ++guarded;
                inside.fetch_sub(1);
                vokLeaveCriticalSection(cs.get());
                vokLeaveCriticalSection(cs.get());
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    gPthreadWraps.countedMutex = nullptr;

    EXPECT_EQ(gPthreadWraps.countedInits, 1);
    EXPECT_EQ(overlaps, 0);
    EXPECT_EQ(guarded, long{kThreads} * kRounds);
    EXPECT_EQ(lockStateOf(*cs), 2u);
    vokDeleteCriticalSection(cs.get());
    EXPECT_EQ(lockStateOf(*cs), 0u);
}

TEST(HandleConcurrencyTest, OtherThreadWaitsForTheHandleUntilItsCreatorUnlocks) {
    Tracked tracked;
    VokHandle handle = kVokNoHandle;
    ASSERT_TRUE(vokCreateAndLockHandle(kDeviceType, &tracked, countFree, &handle));
    const VokHandleEntry* entry = entryOf(handle);

    std::atomic<void*> opened{nullptr};
    std::thread waiter([&] {
        void* memory = vokOpenAndLockHandle(handle, kDeviceType);
        opened = memory;
        if (memory != nullptr) {
            vokUnlockHandle(handle);
        }
    });
    // The waiter has counted itself in and waits, holding gCriticalSection;
    // the creator's unlock must not need that section.
    waitUntil([&] { return lockStateOf(entry->entryLock) == 4; });
    EXPECT_EQ(opened.load(), nullptr);
    EXPECT_EQ(lockStateOf(gCriticalSection), 3u);
    vokUnlockHandle(handle);
    waiter.join();

    EXPECT_EQ(opened.load(), &tracked);
    EXPECT_TRUE(vokFreeHandle(handle, kDeviceType));
    EXPECT_EQ(tracked.frees, 1);
}

TEST(HandleConcurrencyTest, FreeWaitsForTheHolderThenReleasesTheObjectOnce) {
    Tracked tracked;
    VokHandle handle = kVokNoHandle;
    ASSERT_TRUE(vokCreateAndLockHandle(kDeviceType, &tracked, countFree, &handle));
    const VokHandleEntry* entry = entryOf(handle);

    std::atomic<int> freeResult{-1};
    std::thread freer([&] { freeResult = vokFreeHandle(handle, kDeviceType) ? 1 : 0; });
    waitUntil([&] { return lockStateOf(entry->entryLock) == 4; });
    EXPECT_EQ(freeResult, -1);
    EXPECT_EQ(tracked.frees, 0);
    // Still the holder's to use.
    EXPECT_EQ(vokOpenAndLockHandle(handle, kDeviceType), &tracked);
    vokUnlockHandle(handle);
    vokUnlockHandle(handle);  // entry may be gone from here on
    freer.join();

    EXPECT_EQ(freeResult, 1);
    EXPECT_EQ(tracked.frees, 1);
    EXPECT_EQ(vokOpenAndLockHandle(handle, kDeviceType), nullptr);
    EXPECT_FALSE(vokFreeHandle(handle, kDeviceType));
    EXPECT_EQ(tracked.frees, 1);
}

TEST(HandleConcurrencyTest, HolderReopensItsHandleWhileAnotherThreadWaitsForIt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Run in a child that a stuck wait cannot keep alive.
    EXPECT_EXIT(
        {
            alarm(60);  // a hang, not a slow machine
            Tracked tracked;
            VokHandle handle = kVokNoHandle;
            vokCreateAndLockHandle(kDeviceType, &tracked, countFree, &handle);
            const VokHandleEntry* entry = entryOf(handle);
            std::thread waiter([&] {
                if (vokOpenAndLockHandle(handle, kDeviceType) != nullptr) {
                    vokUnlockHandle(handle);
                }
            });
            waitUntil([&] { return lockStateOf(entry->entryLock) == 4; });
            void* again = vokOpenAndLockHandle(handle, kDeviceType);
            const bool nested = lockStateOf(entry->entryLock) == 5;
            vokUnlockHandle(handle);
            vokUnlockHandle(handle);
            waiter.join();
            const bool freed = vokFreeHandle(handle, kDeviceType);
            std::exit(again == &tracked && nested && freed && tracked.frees == 1 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// The random mix: threads share a few slots of handle numbers; each step
// creates a handle into an empty slot, frees the handle of a slot (racing the
// threads that are about to open it), opens one with the wrong type, or opens
// one, works on its object (sometimes opening it again) and unlocks it.
struct Resource {
    VokHandle number = kVokNoHandle;
    std::atomic<int> inside{0};
    long uses = 0;  // touched only by the thread that holds the handle
};

struct StressTally {
    std::atomic<long> created{0};
    std::atomic<long> freed{0};
    std::atomic<long> opened{0};
    std::atomic<long> refused{0};
    std::atomic<long> violations{0};
};

StressTally gTally;
constexpr size_t kSlots = 48;
std::array<std::atomic<VokHandle>, kSlots> gSlots;

void releaseResource(void* memory) {
    auto* resource = static_cast<Resource*>(memory);
    if (resource->inside.load() != 0) {
        ++gTally.violations;
    }
    ++gTally.freed;
    delete resource;
}

void workOnHeld(Resource* resource, VokHandle number) {
    if (resource->number != number || resource->inside.fetch_add(1) != 0) {
        ++gTally.violations;
    }
    ++resource->uses;
    resource->inside.fetch_sub(1);
}

void createInto(std::atomic<VokHandle>& slot) {
    auto* resource = new Resource;
    VokHandle number = kVokNoHandle;
    if (!vokCreateAndLockHandle(kDeviceType, resource, releaseResource, &number)) {
        delete resource;
        ++gTally.refused;
        return;
    }
    ++gTally.created;
    resource->number = number;
    workOnHeld(resource, number);
    vokUnlockHandle(number);
    VokHandle empty = kVokNoHandle;
    if (!slot.compare_exchange_strong(empty, number) && !vokFreeHandle(number, kDeviceType)) {
        ++gTally.violations;
    }
}

void openAndWork(VokHandle number, bool reopen) {
    auto* resource = static_cast<Resource*>(vokOpenAndLockHandle(number, kDeviceType));
    if (resource == nullptr) {
        return;  // freed in the meantime
    }
    ++gTally.opened;
    workOnHeld(resource, number);
    if (reopen) {
        if (vokOpenAndLockHandle(number, kDeviceType) != resource) {
            ++gTally.violations;
        } else {
            workOnHeld(resource, number);
            vokUnlockHandle(number);
        }
    }
    vokUnlockHandle(number);
}

void stressWorker(unsigned seed, int steps) {
    std::mt19937 random(seed);
    for (int step = 0; step < steps; ++step) {
        std::atomic<VokHandle>& slot = gSlots[random() % kSlots];
        VokHandle number = slot.load();
        const unsigned dice = random() % 100;
        if (number == kVokNoHandle) {
            createInto(slot);
        } else if (dice < 15) {
            if (slot.compare_exchange_strong(number, kVokNoHandle) &&
                !vokFreeHandle(number, kDeviceType)) {
                ++gTally.violations;
            }
        } else if (dice < 20) {
            if (vokOpenAndLockHandle(number, kOtherType) != nullptr) {
                ++gTally.violations;
                vokUnlockHandle(number);
            }
        } else {
            openAndWork(number, dice < 40);
        }
    }
}

TEST(HandleConcurrencyTest, RandomCreateOpenUnlockAndFreeFromManyThreads) {
    constexpr int kThreads = 6;
    constexpr int kSteps = 3000;
    const uint32_t liveBefore = gHandleCount;
    const uint32_t savedCounter = gLastHandle;
    // Close to the wrap: later handles get small numbers and are inserted in
    // front of the long-lived ones, moving slots under the holders' feet.
    gLastHandle = 0xFFFFFFFFu - 150;
    for (auto& slot : gSlots) {
        slot = kVokNoHandle;
    }

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back(stressWorker, 7919u * (t + 1), kSteps);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (auto& slot : gSlots) {
        const VokHandle number = slot.exchange(kVokNoHandle);
        if (number != kVokNoHandle) {
            EXPECT_TRUE(vokFreeHandle(number, kDeviceType)) << number;
        }
    }

    EXPECT_EQ(gTally.violations, 0);
    EXPECT_EQ(gTally.created, gTally.freed);
    EXPECT_GT(gTally.created, 150);  // the counter wrapped
    EXPECT_GT(gTally.opened, 0);
    EXPECT_LT(gLastHandle, 0x10000u);
    EXPECT_EQ(gHandleCount, liveBefore);
    EXPECT_EQ(lockStateOf(gCriticalSection), 2u);
    gLastHandle = savedCounter;
}

}  // namespace
