// Every allocation of the device list and its records is checked: a failing
// malloc ends the process with the assertion that names it. This binary is
// linked with -Wl,--wrap=malloc so that a test can make the n-th malloc of the
// code under test fail.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

#include "discovery/deviceList.h"
#include "discovery/testSupport.h"

extern "C" void* __real_malloc(size_t size);  // NOLINT(bugprone-reserved-identifier)

namespace {
// Counts down the mallocs still allowed to succeed; negative: no failure armed.
std::atomic<int> gMallocsBeforeFailure{-1};
}  // namespace

extern "C" void* __wrap_malloc(size_t size) {  // NOLINT(bugprone-reserved-identifier)
    if (gMallocsBeforeFailure.load() >= 0 && gMallocsBeforeFailure.fetch_sub(1) == 0) {
        return nullptr;
    }
    return __real_malloc(size);
}

namespace {

void failMallocAfter(int successes) { gMallocsBeforeFailure = successes; }

class AllocationDeathTest : public voktest::FakeUsbTest {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(AllocationDeathTest, ListRecord) {
    EXPECT_DEATH((failMallocAfter(0), vokCreateDeviceList()), "Assertion `deviceList' failed");
}

TEST_F(AllocationDeathTest, VokDeviceAndItsParts) {
    EXPECT_DEATH((failMallocAfter(0), vokCreateDevice(1, 0, "p", "n")),
                 "Assertion `device' failed");
    EXPECT_DEATH((failMallocAfter(1), vokCreateDevice(1, 0, "p", "n")),
                 "Assertion `device->devicePath' failed");
    EXPECT_DEATH((failMallocAfter(2), vokCreateDevice(1, 0, "p", "n")),
                 "Assertion `device->mutexName' failed");
    EXPECT_DEATH((failMallocAfter(3), vokCreateDevice(1, 0, "p", "n")),
                 "Assertion `device->mutex' failed");
}

TEST_F(AllocationDeathTest, RecordMadeDuringTheScan) {
    voktest::addNode(usb.path(), "001", "002", voktest::tokenDescriptor());
    EXPECT_DEATH((failMallocAfter(1), vokCreateDeviceList()), "Assertion `device' failed");
}

TEST(AllocationTest, FourAllocationsMakeARecord) {
    failMallocAfter(4);
    VokDevice* device = vokCreateDevice(1, 0, "p", "n");
    EXPECT_EQ(gMallocsBeforeFailure.load(), 0);
    gMallocsBeforeFailure = -1;
    vokFreeDevice(device);
}

}  // namespace
