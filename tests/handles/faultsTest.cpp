// Failures of the calls the handles rely on: an entry allocation that fails,
// and a mutex that cannot be set up. Built with -Wl,--wrap for malloc and the
// mutex set-up calls.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "handles/assertionPattern.h"
#include "handles/criticalSection.h"
#include "handles/handleManager.h"
#include "handles/handleTestSupport.h"
#include "handles/pthreadWraps.h"
#include "handles/sortArray.h"

namespace {
std::atomic<bool> gFailNextMalloc{false};
}

extern "C" {
void* __real_malloc(size_t size);
void* __wrap_malloc(size_t size) {
    if (gFailNextMalloc.exchange(false)) {
        return nullptr;
    }
    return __real_malloc(size);
}
}

namespace {

using vok_test::countFree;
using vok_test::gPthreadWraps;
using vok_test::kDeviceType;
using vok_test::lockStateOf;
using vok_test::Tracked;

TEST(HandleFaultsTest, FailedEntryAllocationLeavesNothingBehind) {
    const uint32_t live = gHandleCount;
    const uint32_t last = gLastHandle;
    Tracked tracked;
    VokHandle handle = 0x5A5A5A5Au;

    gFailNextMalloc = true;
    EXPECT_FALSE(vokCreateAndLockHandle(kDeviceType, &tracked, countFree, &handle));
    EXPECT_FALSE(gFailNextMalloc);  // the entry's allocation was the one refused
    EXPECT_EQ(handle, 0x5A5A5A5Au);
    EXPECT_EQ(gHandleCount, live);
    EXPECT_EQ(gLastHandle, last);
    EXPECT_EQ(tracked.frees, 0);
    EXPECT_EQ(lockStateOf(gCriticalSection), 2u);

    // Nothing stayed locked: the next creation works.
    ASSERT_TRUE(vokCreateAndLockHandle(kDeviceType, &tracked, countFree, &handle));
    vokUnlockHandle(handle);
    EXPECT_TRUE(vokFreeHandle(handle, kDeviceType));
    EXPECT_EQ(tracked.frees, 1);
}

TEST(HandleFaultsTest, MutexThatCannotBeSetUpEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string report = vok_test::assertionReport(
        "criticalSection.cpp", "void vokEnterCriticalSection(VokCriticalSection*)", "false");
    VokCriticalSection cs;
    std::memset(&cs, 0, sizeof cs);

    EXPECT_DEATH(
        {
            gPthreadWraps.failNextAttrInit = ENOMEM;
            vokEnterCriticalSection(&cs);
        },
        report);
    EXPECT_DEATH(
        {
            gPthreadWraps.failNextSetType = EINVAL;
            vokEnterCriticalSection(&cs);
        },
        report);
    EXPECT_DEATH(
        {
            gPthreadWraps.failNextMutexInit = EAGAIN;
            vokEnterCriticalSection(&cs);
        },
        report);

    // Without an injected failure the same section works.
    vokEnterCriticalSection(&cs);
    EXPECT_EQ(lockStateOf(cs), 3u);
    vokLeaveCriticalSection(&cs);
    vokDeleteCriticalSection(&cs);
}

}  // namespace
