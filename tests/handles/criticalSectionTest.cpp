// The recursive section that works from zeroed storage: state word, recursion,
// delete and re-use, and the assertions that end the process on misuse.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "handles/assertionPattern.h"
#include "handles/criticalSection.h"

namespace {

using vok_test::assertionReport;

constexpr const char* kEnter = "void vokEnterCriticalSection(VokCriticalSection*)";
constexpr const char* kLeave = "void vokLeaveCriticalSection(VokCriticalSection*)";
constexpr const char* kDelete = "void vokDeleteCriticalSection(VokCriticalSection*)";

std::string sectionAssertion(const char* function, const char* expression) {
    return assertionReport("criticalSection.cpp", function, expression);
}

uint32_t stateOf(const VokCriticalSection& cs) {
    return __atomic_load_n(&cs.locked, __ATOMIC_SEQ_CST);
}

// pthread_mutex_trylock's result on the section's mutex from a new thread.
int tryLockFromOtherThread(VokCriticalSection& cs) {
    int result = -1;
    std::thread other([&] {
        result = pthread_mutex_trylock(&cs.recursiveMutex);
        if (result == 0) {
            pthread_mutex_unlock(&cs.recursiveMutex);
        }
    });
    other.join();
    return result;
}

class CriticalSectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        std::memset(&cs_, 0, sizeof cs_);
    }

    VokCriticalSection cs_;
};

TEST_F(CriticalSectionTest, ZeroedStorageIsEnteredRecursivelyAndCountsEveryEnter) {
    vokEnterCriticalSection(&cs_);
    EXPECT_EQ(stateOf(cs_), 3u);
    // The mutex is recursive: the holder may take it again, others may not.
    ASSERT_EQ(pthread_mutex_trylock(&cs_.recursiveMutex), 0);
    pthread_mutex_unlock(&cs_.recursiveMutex);
    EXPECT_EQ(tryLockFromOtherThread(cs_), EBUSY);

    vokEnterCriticalSection(&cs_);
    EXPECT_EQ(stateOf(cs_), 4u);
    vokLeaveCriticalSection(&cs_);
    EXPECT_EQ(stateOf(cs_), 3u);
    EXPECT_EQ(tryLockFromOtherThread(cs_), EBUSY);
    vokLeaveCriticalSection(&cs_);
    EXPECT_EQ(stateOf(cs_), 2u);
    EXPECT_EQ(tryLockFromOtherThread(cs_), 0);

    vokDeleteCriticalSection(&cs_);
    EXPECT_EQ(stateOf(cs_), 0u);
}

TEST_F(CriticalSectionTest, DeleteOfZeroedStorageChangesNothing) {
    vokDeleteCriticalSection(&cs_);
    VokCriticalSection zero;
    std::memset(&zero, 0, sizeof zero);
    EXPECT_EQ(std::memcmp(&cs_, &zero, sizeof zero), 0);
}

TEST_F(CriticalSectionTest, DeletedSectionIsInitialisedAnewByItsNextEnter) {
    vokEnterCriticalSection(&cs_);
    vokLeaveCriticalSection(&cs_);
    vokDeleteCriticalSection(&cs_);
    ASSERT_EQ(stateOf(cs_), 0u);
    // Scribble over the destroyed mutex: the next enter must set it up again.
    std::memset(&cs_.recursiveMutex, 0xA5, sizeof cs_.recursiveMutex);

    vokEnterCriticalSection(&cs_);
    EXPECT_EQ(stateOf(cs_), 3u);
    EXPECT_EQ(tryLockFromOtherThread(cs_), EBUSY);
    vokLeaveCriticalSection(&cs_);
    EXPECT_EQ(stateOf(cs_), 2u);
    vokDeleteCriticalSection(&cs_);
}

TEST_F(CriticalSectionTest, NullSectionEndsTheProcess) {
    EXPECT_DEATH(vokEnterCriticalSection(nullptr), sectionAssertion(kEnter, "cs"));
    EXPECT_DEATH(vokLeaveCriticalSection(nullptr), sectionAssertion(kLeave, "cs"));
    EXPECT_DEATH(vokDeleteCriticalSection(nullptr), sectionAssertion(kDelete, "cs"));
}

TEST_F(CriticalSectionTest, LeaveWithoutEnterEndsTheProcess) {
    EXPECT_DEATH(vokLeaveCriticalSection(&cs_), sectionAssertion(kLeave, "false"));

    vokEnterCriticalSection(&cs_);
    vokLeaveCriticalSection(&cs_);
    EXPECT_DEATH(vokLeaveCriticalSection(&cs_), sectionAssertion(kLeave, "false"));
    EXPECT_EQ(stateOf(cs_), 2u);
    vokDeleteCriticalSection(&cs_);
}

TEST_F(CriticalSectionTest, DeleteOfHeldSectionEndsTheProcess) {
    vokEnterCriticalSection(&cs_);
    EXPECT_DEATH(vokDeleteCriticalSection(&cs_), sectionAssertion(kDelete, "cs->locked <= 2"));
    vokLeaveCriticalSection(&cs_);
    vokDeleteCriticalSection(&cs_);
}

TEST_F(CriticalSectionTest, EnterThatFindsTheCounterExhaustedEndsTheProcess) {
    // The next count would wrap to 0, which is what an enter also sees when the
    // section was deleted under it.
    cs_.locked = 0xFFFFFFFFu;
    EXPECT_DEATH(vokEnterCriticalSection(&cs_), sectionAssertion(kEnter, "false"));
}

}  // namespace
