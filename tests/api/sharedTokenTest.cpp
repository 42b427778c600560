// Several applications on one token: processes and threads, each with handles
// of its own, write and read back their own ranges and their own byte of one
// shared word at the same time. The token runs one transaction at a time, as
// on a bus, so only the library's lock keeps their transactions apart: no
// call may fail and no update may be lost.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "api/apiFixture.h"

namespace voktest {
namespace {

constexpr int kRounds = 150;
constexpr uint32_t kRange = 64;        // worker w owns bytes kRangeBase + 80w + 1 .. +64
constexpr uint32_t kRangeBase = 256;   // odd starts and ends: fetched edge words at both
constexpr uint32_t kSharedWord = 100;  // worker w owns byte 100 + w of bytes 100..103

struct Sharing {
    int processes;
    int handlesPerProcess;  // each used by a thread of its own
};

uint8_t pattern(int worker, int round, uint32_t i) {
    return static_cast<uint8_t>(worker * 53 + round * 11 + i + 1);
}

uint8_t shared_byte(int worker, int round) { return static_cast<uint8_t>(worker * 64 + round); }

// One worker's rounds on a handle of its own; the number of failed calls and
// differing read-backs.
int work(int worker) {
    const VokHandle handle = vokOpen(0);
    if (handle == VOK_INVALID_HANDLE) return 1000;
    int faults = 0;
    VokIdResponse response;
    const uint32_t offset = kRangeBase + 80 * worker + 1;
    std::vector<uint8_t> bytes(kRange);
    std::vector<uint8_t> back(kRange);
    for (int round = 0; round < kRounds; ++round) {
        for (uint32_t i = 0; i < kRange; ++i) bytes[i] = pattern(worker, round, i);
        faults += vokWrite(handle, nullptr, 0, offset, bytes.data(), kRange, &response) != 0;
        faults += vokRead(handle, nullptr, 0, offset, back.data(), kRange, &response) != 0;
        faults += back != bytes;
        // Another worker's unaligned write of the shared word fetches it and
        // writes it back: were the token let go in between, this byte would
        // revert.
        uint8_t before = 0;
        faults += vokRead(handle, nullptr, 0, kSharedWord + worker, &before, 1, &response) != 0;
        faults += round > 0 && before != shared_byte(worker, round - 1);
        const uint8_t mine = shared_byte(worker, round);
        faults += vokWrite(handle, nullptr, 0, kSharedWord + worker, &mine, 1, &response) != 0;
    }
    faults += vokClose(handle) != 0;
    return faults;
}

// The workers of one process, on threads of their own; their faults.
int work_in_process(int firstWorker, int workers) {
    std::atomic<int> faults{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w) {
        threads.emplace_back([&faults, worker = firstWorker + w] { faults += work(worker); });
    }
    for (std::thread& thread : threads) thread.join();
    return faults.load();
}

class SharedToken : public ::testing::TestWithParam<Sharing> {};

TEST_P(SharedToken, NoCallFailsAndNoUpdateIsLost) {
    const Sharing sharing = GetParam();
    TokenTree tree;
    const std::string node = tree.addToken(2);
    ASSERT_TRUE(voksim::setLogging(node, false));

    std::vector<pid_t> children;
    for (int p = 1; p < sharing.processes; ++p) {
        const pid_t child = fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
            const int faults =
                work_in_process(p * sharing.handlesPerProcess, sharing.handlesPerProcess);
            _exit(faults > 100 ? 100 : faults);
        }
        children.push_back(child);
    }
    EXPECT_EQ(work_in_process(0, sharing.handlesPerProcess), 0) << "in this process";
    for (const pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "failed calls and differing read-backs in a child";
    }

    const int workers = sharing.processes * sharing.handlesPerProcess;
    const std::vector<uint8_t> word = tokenMemory(node, kSharedWord, workers);
    for (int w = 0; w < workers; ++w) {
        EXPECT_EQ(word[w], shared_byte(w, kRounds - 1)) << "worker " << w << "'s last byte";
        std::vector<uint8_t> expected(kRange);
        for (uint32_t i = 0; i < kRange; ++i) expected[i] = pattern(w, kRounds - 1, i);
        EXPECT_EQ(tokenMemory(node, kRangeBase + 80 * w + 1, kRange), expected) << "worker " << w;
    }
}

INSTANTIATE_TEST_SUITE_P(Applications, SharedToken,
                         ::testing::Values(Sharing{2, 1}, Sharing{1, 2}, Sharing{4, 1},
                                           Sharing{2, 2}),
                         [](const ::testing::TestParamInfo<Sharing>& info) {
                             return std::to_string(info.param.processes) + "Processes" +
                                    std::to_string(info.param.handlesPerProcess) + "HandlesEach";
                         });

}  // namespace
}  // namespace voktest
