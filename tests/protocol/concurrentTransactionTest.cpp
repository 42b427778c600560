// The engine keeps no shared state: transactions on different tokens run at
// the same time. A token runs one transaction at a time, so records of one
// token take turns under the token lock.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "lock/tokenLock.h"
#include "protocol/ioctl.h"
#include "virtualToken.h"

namespace {

using vok_test::prepareRequest;
using vok_test::VirtualToken;

// Each thread writes its own words to its own region and reads them back.
void readAndWrite(VokDevice* device, const voksim::Identity& identity, uint16_t wordOffset,
                  uint8_t seed, std::atomic<int>& failures) {
    for (int round = 0; round < 40; ++round) {
        const int lock = vokLockToken(device->devicePath);
        if (lock < 0) ++failures;
        TDRVREQUEST_MEK request;
        prepareRequest(request, VOK_CMD_WRITE, identity);
        request.wordOffset = wordOffset;
        request.wordCount = 16;
        for (int i = 0; i < 32; ++i) request.data[i] = static_cast<uint8_t>(seed + round + i);
        if (cmdProtocolExecute(device, &request) != 0) ++failures;

        prepareRequest(request, VOK_CMD_READ, identity);
        request.wordOffset = wordOffset;
        request.wordCount = 16;
        if (cmdProtocolExecute(device, &request) != 0) ++failures;
        for (int i = 0; i < 32; ++i) {
            if (request.data[i] != static_cast<uint8_t>(seed + round + i)) ++failures;
        }
        if (lock >= 0) vokUnlockToken(lock);
    }
}

TEST(ConcurrentTransactions, ThreadsOnSeparateRecordsOfOneTokenTakeTurnsUnderItsLock) {
    VirtualToken first;
    VirtualToken second;
    // A second record for the first token: another descriptor of the same node.
    VokDevice* shared = vokCreateDevice(0, 1, first.node().c_str(), first.node().c_str());
    ASSERT_NE(shared, nullptr);

    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    threads.emplace_back(readAndWrite, first.device(), first.identity(), 0, 1, std::ref(failures));
    threads.emplace_back(readAndWrite, shared, first.identity(), 64, 2, std::ref(failures));
    threads.emplace_back(readAndWrite, second.device(), second.identity(), 0, 3,
                         std::ref(failures));
    for (auto& thread : threads) thread.join();
    vokFreeDevice(shared);
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
