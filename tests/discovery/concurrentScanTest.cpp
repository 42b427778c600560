// Scans from several threads at once over one fake usbfs tree: each scan is
// independent, and the device lock keeps the probes of one node apart.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "discovery/linuxUsb.h"
#include "discovery/testSupport.h"
#include "lock/mutexInternal.h"

namespace {

class ConcurrentScanTest : public voktest::FakeUsbTest {};

TEST_F(ConcurrentScanTest, ParallelScansAllFindEveryToken) {
    for (const char* bus : {"001", "002", "003"}) {
        for (const char* dev : {"001", "002", "003", "004"}) {
            voktest::addNode(usb.path(), bus, dev, voktest::tokenDescriptor());
        }
        voktest::addNode(usb.path(), bus, "099", voktest::deviceDescriptor(1, 2, 3));
    }

    constexpr int kThreads = 6;
    constexpr int kRounds = 10;
    std::vector<int> badScans(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&badScans, t] {
            for (int round = 0; round < kRounds; ++round) {
                VokDeviceList* list = vokCreateDeviceList();
                uint32_t expectedIndex = 0;
                for (VokDevice* d = vokGetFirstDevice(list); d != nullptr;
                     d = vokGetNextDevice(list)) {
                    badScans[t] += d->index != expectedIndex++ ? 1 : 0;
                }
                badScans[t] += expectedIndex != 12 ? 1 : 0;
                vokFreeDeviceList(list);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(badScans[t], 0) << "thread " << t;
    }
    EXPECT_EQ(vokMutexPoolCount(), 0U);
}

}  // namespace
