// One virtual token shared by threads and processes, and kept between runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "sim/hostDriver.h"
#include "support/tempDir.h"
#include "voksim/voksim.h"

using namespace simtest;
using testsupport::TempDir;

namespace {

constexpr int kRounds = 40;
// A read of one pair of words (16 transfers) and a write of it (17).
constexpr uint64_t kTransfersPerRound = 16 + 17;

// Writes and reads back its own four bytes `rounds` times; false on any
// mismatch or failure.
bool hammer(const std::string& node, uint16_t word, uint8_t seed) {
    Host host(node);
    for (int round = 0; round < kRounds; ++round) {
        const uint8_t value = static_cast<uint8_t>(seed + round);
        const std::vector<uint8_t> bytes = {value, seed, value, seed};
        if (runCommand(host, writeMemory(word, bytes)).status != 0) return false;
        const Outcome read = runCommand(host, readMemory(word, 2));
        if (read.status != 0 || read.data != bytes) return false;
    }
    return true;
}

// These hosts take no lock of their own, so the token keeps their
// transactions apart: what is tested is that its state stays consistent.
TEST(SharingTest, ThreadsOnOneTokenRunTheirTransactionsSideBySide) {
    TempDir tree;
    const std::string node = voksim::createToken(tree.path(), 1, 2);
    ASSERT_TRUE(voksim::setSeparateTransactions(node, true));
    constexpr int kThreads = 6;
    bool ok[kThreads] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back(
            [&, i] { ok[i] = hammer(node, static_cast<uint16_t>(10 * i), uint8_t(i)); });
    }
    for (auto& thread : threads) thread.join();
    for (int i = 0; i < kThreads; ++i) EXPECT_TRUE(ok[i]) << i;
    EXPECT_EQ(voksim::readState(node)->transferCount, kThreads * kRounds * kTransfersPerRound);
}

TEST(SharingTest, ProcessesOnOneTokenKeepItsStateConsistent) {
    TempDir tree;
    const std::string node = voksim::createToken(tree.path(), 1, 2);
    ASSERT_TRUE(voksim::setSeparateTransactions(node, true));
    ASSERT_TRUE(voksim::setLogging(node, false));
    constexpr int kProcesses = 4;
    std::vector<pid_t> children;
    for (int i = 0; i < kProcesses; ++i) {
        std::fflush(nullptr);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            _exit(hammer(node, static_cast<uint16_t>(10 * i), uint8_t(0x40 + i)) ? 0 : 1);
        children.push_back(child);
    }
    // This process works on the token at the same time.
    EXPECT_TRUE(hammer(node, 100, 0x80));
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const auto state = voksim::readState(node);
    ASSERT_TRUE(state);
    EXPECT_EQ(state->transferCount, (kProcesses + 1) * kRounds * kTransfersPerRound)
        << "no transfer was lost or counted twice";
    for (int i = 0; i < kProcesses; ++i) {
        const uint8_t last = static_cast<uint8_t>(0x40 + i + kRounds - 1);
        EXPECT_EQ(state->memory[20 * i], last);
        EXPECT_EQ(state->memory[20 * i + 1], 0x40 + i);
    }
}

TEST(SharingTest, TheTokenKeepsItsMemoryAndPinsFromOneRunToTheNext) {
    TempDir tree;
    const std::string node = voksim::createToken(tree.path(), 1, 2);
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const bool ok = runCommand(node, writeMemory(4, {0xCA, 0xFE})).status == 0 &&
                        runCommand(node, setPin(0, 1, "", "secret")).status == 0 &&
                        runCommand(node, blockCommand(0x3E, 1, "", {1, 0})).status == 0;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(runCommand(node, readMemory(4, 1)).status, voksim::kStatusWrongPin);
    EXPECT_EQ(runCommand(node, readMemory(4, 1, "secret")).data,
              (std::vector<uint8_t>{0xCA, 0xFE, 0, 0}));
    // The state is in the file itself.
    const int fd = open(voksim::statePathOf(node).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    uint8_t stored[2] = {};
    ASSERT_EQ(pread(fd, stored, 2, offsetof(voksim::TokenState, memory) + 8), 2);
    close(fd);
    EXPECT_EQ(stored[0], 0xCA);
    EXPECT_EQ(stored[1], 0xFE);
}

// One step of a scene, posted by one process and awaited by another.
struct Step {
    int fds[2] = {-1, -1};
    Step() { EXPECT_EQ(pipe(fds), 0); }
    ~Step() {
        close(fds[0]);
        close(fds[1]);
    }
    void post() const { EXPECT_EQ(write(fds[1], "", 1), 1); }
    void await() const {
        char byte = 0;
        EXPECT_EQ(read(fds[0], &byte, 1), 1);
    }
};

// The kernel refuses a record-lock wait as a deadlock when two processes each
// hold one token and wait for the other's, although the holders and waiters
// are different threads. The refused waiter must keep waiting, not go on
// unlocked: memory byte 0 of each token counts the holders inside it.
TEST(SharingTest, AWaitRefusedAsADeadlockStillKeepsOtherProcessesOut) {
    TempDir tree;
    const std::string a = voksim::createToken(tree.path(), 1, 2);
    const std::string b = voksim::createToken(tree.path(), 1, 3);
    const auto hold = [](const std::string& node, const std::function<void()>& inside) {
        return voksim::modifyState(node, [&](voksim::TokenState& state) {
            const bool alone = state.memory[0]++ == 0;
            inside();
            --state.memory[0];
            if (!alone) state.memory[1] = 1;
        });
    };
    // This process holds A, then waits for B from another thread; the child
    // holds B, then waits for A from another thread. A holder lets go a while
    // after the other process's waiter has set out (if that waiter is late,
    // the scene is only weaker, never wrong).
    const Step aHeld, bHeld, waitingForA, waitingForB;
    const auto holdUntil = [&](const std::string& node, const Step& held, const Step& waiting) {
        hold(node, [&] {
            held.post();
            waiting.await();
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        });
    };
    const auto waitFor = [&](const std::string& node, const Step& held, const Step& waiting) {
        held.await();
        waiting.post();
        hold(node, [] {});
    };
    const pid_t child = fork();
    if (child == 0) {
        std::thread holder([&] { holdUntil(b, bHeld, waitingForB); });
        waitFor(a, aHeld, waitingForA);
        holder.join();
        _exit(0);
    }
    std::thread holder([&] { holdUntil(a, aHeld, waitingForA); });
    waitFor(b, bHeld, waitingForB);
    holder.join();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (const std::string& node : {a, b})
        EXPECT_EQ(voksim::readState(node)->memory[1], 0) << "two processes inside " << node;
}

}  // namespace
