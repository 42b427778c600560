// Callers of one token take turns: many threads, each with a handle of its
// own, get the token in about the order they asked, none fails, and a thread
// cancelled inside a call leaves its handle, its descriptors and the token as
// they should be.
#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "api/apiFixture.h"

namespace voktest {
namespace {

using Clock = std::chrono::steady_clock;

struct Call {
    Clock::time_point asked;
    Clock::time_point done;
};

TEST(TokenTurns, SixtyFourThreadsAreServedInTurnAndNoneFails) {
    constexpr int kThreads = 64;
    constexpr int kCallsEach = 4;
    TokenTree tree;
    const std::string node = tree.addToken(2);
    ASSERT_TRUE(voksim::setLogging(node, false));
    voksim::Faults slow;
    slow.latencyMicros = 100;
    ASSERT_TRUE(voksim::setFaults(node, slow));

    std::mutex callsLock;
    std::vector<Call> calls;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            const ScopedHandle handle(vokOpen(0));
            failures += handle.get() == VOK_INVALID_HANDLE;
            uint8_t bytes[256];
            VokIdResponse response;
            for (int i = 0; i < kCallsEach; ++i) {
                Call call{Clock::now(), {}};
                failures +=
                    vokRead(handle.get(), nullptr, 0, 0, bytes, sizeof bytes, &response) != 0;
                call.done = Clock::now();
                const std::lock_guard<std::mutex> hold(callsLock);
                calls.push_back(call);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);

    // A call waits for the calls queued before it: at most one of every other
    // caller. Count, for each call, the calls that asked after it and were
    // done before it.
    size_t mostOvertaken = 0;
    Clock::duration longest{};
    Clock::time_point start = calls.front().asked;
    Clock::time_point end = calls.front().done;
    for (const Call& call : calls) {
        const auto overtaken = std::count_if(calls.begin(), calls.end(), [&](const Call& other) {
            return other.asked > call.asked && other.done < call.done;
        });
        mostOvertaken = std::max(mostOvertaken, static_cast<size_t>(overtaken));
        longest = std::max(longest, call.done - call.asked);
        start = std::min(start, call.asked);
        end = std::max(end, call.done);
    }
    // The token serves one call at a time: a mean call is the run's time over
    // the number of calls.
    const Clock::duration meanCall = (end - start) / static_cast<long>(calls.size());
    const auto ms = [](Clock::duration d) {
        return static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
    };
    std::printf("%d callers: longest wait %lld ms, (N-1) x mean call %lld ms, most overtaken %zu\n",
                kThreads, ms(longest), ms(meanCall * (kThreads - 1)), mostOvertaken);
    EXPECT_LT(mostOvertaken, static_cast<size_t>(kThreads))
        << "a caller was passed again and again";
}

int open_descriptors() {
    int count = 0;
    DIR* fds = opendir("/proc/self/fd");
    while (fds != nullptr && readdir(fds) != nullptr) ++count;
    if (fds != nullptr) closedir(fds);
    return count;
}

enum class CancelledIn { kTheWait, kATransfer };

class TokenCancel : public ::testing::TestWithParam<CancelledIn> {};

TEST_P(TokenCancel, LeavesTheHandleTheDescriptorsAndTheTokenUsable) {
    TokenTree tree;
    const std::string node = tree.addToken(2);
    ScopedHandle holder(vokOpen(0));
    ScopedHandle victim(vokOpen(0));
    ASSERT_NE(holder.get(), VOK_INVALID_HANDLE);
    ASSERT_NE(victim.get(), VOK_INVALID_HANDLE);
    voksim::Faults slow;
    slow.latencyMicros = 1000;
    ASSERT_TRUE(voksim::setFaults(node, slow));
    const int descriptorsBefore = open_descriptors();

    // For the wait, another thread holds the token through a long read first.
    std::atomic<bool> holding{false};
    std::thread holderThread;
    if (GetParam() == CancelledIn::kTheWait) {
        holderThread = std::thread([&] {
            uint8_t bytes[2048];
            VokIdResponse response;
            holding = true;
            EXPECT_EQ(vokRead(holder.get(), nullptr, 0, 0, bytes, sizeof bytes, &response), 0u);
        });
        while (!holding) std::this_thread::yield();
    }
    std::atomic<bool> calling{false};
    pthread_t victimThread{};
    struct Victim {
        VokHandle handle;
        std::atomic<bool>* calling;
    } victimArgs{victim.get(), &calling};
    ASSERT_EQ(pthread_create(
                  &victimThread, nullptr,
                  [](void* raw) -> void* {
                      auto* args = static_cast<Victim*>(raw);
                      uint8_t bytes[512];
                      VokIdResponse response;
                      for (;;) {
                          args->calling->store(true);
                          (void)vokRead(args->handle, nullptr, 0, 0, bytes, sizeof bytes,
                                        &response);
                          pthread_testcancel();
                      }
                  },
                  &victimArgs),
              0);
    while (!calling) std::this_thread::yield();
    ASSERT_EQ(pthread_cancel(victimThread), 0);
    void* result = nullptr;
    ASSERT_EQ(pthread_join(victimThread, &result), 0);
    EXPECT_EQ(result, PTHREAD_CANCELED);
    if (holderThread.joinable()) holderThread.join();

    ASSERT_TRUE(voksim::clearFaults(node));
    EXPECT_EQ(open_descriptors(), descriptorsBefore) << "a descriptor was left open";
    uint8_t byte = 0;
    VokIdResponse response;
    EXPECT_EQ(vokRead(victim.get(), nullptr, 0, 7, &byte, 1, &response), VOK_STATUS_OK);
    EXPECT_EQ(vokRead(holder.get(), nullptr, 0, 7, &byte, 1, &response), VOK_STATUS_OK);
    EXPECT_EQ(victim.close(), VOK_STATUS_OK);
}

INSTANTIATE_TEST_SUITE_P(Calls, TokenCancel,
                         ::testing::Values(CancelledIn::kTheWait, CancelledIn::kATransfer),
                         [](const ::testing::TestParamInfo<CancelledIn>& info) {
                             return info.param == CancelledIn::kTheWait ? "InTheWait"
                                                                        : "InATransfer";
                         });

}  // namespace
}  // namespace voktest
