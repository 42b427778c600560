// The wait for a token held by another process is bounded: a holder stopped
// in the middle of a call (SIGSTOP, as under a debugger) makes another
// process's calls (an open, and a read on a handle opened before) return
// their failure with EBUSY after the documented limit, and the token works
// again once the holder goes on.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>

#include "api/apiFixture.h"

namespace voktest {
namespace {

using Clock = std::chrono::steady_clock;

// Starts a process that opens the token and reads 4096 bytes from it, and
// returns once that process is inside its read (the read takes about 2 s on
// the token, slowed by `node`'s latency fault).
pid_t start_slow_reader(const std::string& node) {
    voksim::Faults slow;
    slow.latencyMicros = 2000;
    if (!voksim::setFaults(node, slow)) return -1;
    int started[2];
    if (pipe(started) != 0) return -1;
    const pid_t reader = fork();
    if (reader == 0) {
        const VokHandle handle = vokOpen(0);
        uint8_t bytes[4096];
        VokIdResponse response;
        const char ready = 'r';
        if (handle == VOK_INVALID_HANDLE || write(started[1], &ready, 1) != 1) _exit(2);
        _exit(vokRead(handle, nullptr, 0, 0, bytes, sizeof bytes, &response) == 0 ? 0 : 1);
    }
    char ready = 0;
    const bool inside = reader > 0 && read(started[0], &ready, 1) == 1;
    close(started[0]);
    close(started[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return inside ? reader : -1;
}

TEST(TokenWait, AStoppedHolderMakesOthersFailWithEbusyAfterTheLimitThenReleasesTheToken) {
    TokenTree tree;
    const std::string node = tree.addToken(2);
    ScopedHandle opened(vokOpen(0));
    ASSERT_NE(opened.get(), VOK_INVALID_HANDLE);
    const pid_t holder = start_slow_reader(node);
    ASSERT_GT(holder, 0);
    ASSERT_EQ(kill(holder, SIGSTOP), 0);

    // Both wait at the same time, each on a thread of its own.
    Clock::duration openWaited{};
    VokHandle waitingOpen = 0;
    int openError = 0;
    std::thread opener([&] {
        const auto start = Clock::now();
        waitingOpen = vokOpen(0);
        openWaited = Clock::now() - start;
        openError = vokLastSystemError();
    });
    uint8_t byte = 0;
    VokIdResponse response;
    const auto start = Clock::now();
    EXPECT_EQ(vokRead(opened.get(), nullptr, 0, 7, &byte, 1, &response),
              VOK_STATUS_TRANSFER_FAILED);
    const auto readWaited = Clock::now() - start;
    EXPECT_EQ(vokLastSystemError(), EBUSY);
    opener.join();
    EXPECT_EQ(waitingOpen, VOK_INVALID_HANDLE);
    EXPECT_EQ(openError, EBUSY);
    for (const Clock::duration waited : {readWaited, openWaited}) {
        EXPECT_GE(waited, std::chrono::milliseconds(VOK_TOKEN_WAIT_LIMIT_MS));
    }

    // (The stopped holder may be inside the virtual token's own state lock.)
    ASSERT_EQ(kill(holder, SIGCONT), 0);
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the holder's read went on";
    ASSERT_TRUE(voksim::clearFaults(node));
    EXPECT_EQ(vokRead(opened.get(), nullptr, 0, 7, &byte, 1, &response), VOK_STATUS_OK);
    ScopedHandle again(vokOpen(0));
    EXPECT_NE(again.get(), VOK_INVALID_HANDLE);
}

// A process forked without exec while another thread holds the token gets a
// copy of the lock's descriptor; the library closes it in the child, so that
// a long-lived worker does not keep the token from everybody.
TEST(TokenWait, AChildForkedDuringACallDoesNotKeepTheToken) {
    TokenTree tree;
    const std::string node = tree.addToken(2);
    ScopedHandle handle(vokOpen(0));
    ASSERT_NE(handle.get(), VOK_INVALID_HANDLE);
    voksim::Faults slow;
    slow.latencyMicros = 1000;
    ASSERT_TRUE(voksim::setFaults(node, slow));
    std::thread reader([&] {
        uint8_t bytes[1024];
        VokIdResponse response;
        EXPECT_EQ(vokRead(handle.get(), nullptr, 0, 0, bytes, sizeof bytes, &response), 0u);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // inside its read
    const pid_t worker = fork();
    ASSERT_NE(worker, -1);
    if (worker == 0) {
        pause();
        _exit(0);
    }
    reader.join();
    ASSERT_TRUE(voksim::clearFaults(node));

    uint8_t byte = 0;
    VokIdResponse response;
    EXPECT_EQ(vokRead(handle.get(), nullptr, 0, 7, &byte, 1, &response), VOK_STATUS_OK);
    kill(worker, SIGKILL);
    waitpid(worker, nullptr, 0);
}

}  // namespace
}  // namespace voktest
