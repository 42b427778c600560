// The token lock's wait: taken at once when free, taken once the holder lets
// go (by closing its descriptor or by unlocking it), refused with EBUSY after
// the limit, and never cut short by signals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include "lock/tokenLock.h"
#include "support/tempDir.h"

namespace {

constexpr uint32_t kLimitMillis = 300;

enum class Holder { kNone, kCloses, kUnlocks, kKeeps, kKeepsUnderSignals };

struct WaitCase {
    const char* name;
    Holder holder;
    int expected;
};

void on_alarm(int) {}

// Interrupts the calling thread's system calls every 2 ms while it lives; the
// handler is installed without SA_RESTART.
class SignalStorm {
  public:
    SignalStorm() {
        struct sigaction action {};
        action.sa_handler = on_alarm;
        sigaction(SIGALRM, &action, &old_);
        const itimerval every2ms{{0, 2000}, {0, 2000}};
        setitimer(ITIMER_REAL, &every2ms, nullptr);
    }
    ~SignalStorm() {
        const itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &old_, nullptr);
    }
    SignalStorm(const SignalStorm&) = delete;
    SignalStorm& operator=(const SignalStorm&) = delete;

  private:
    struct sigaction old_ {};
};

class TokenLockWait : public ::testing::TestWithParam<WaitCase> {};

TEST_P(TokenLockWait, EndsAsTheHolderDecides) {
    const WaitCase& c = GetParam();
    testsupport::TempDir dir;
    const std::string node = dir.path() + "/002";
    const int holder = open(node.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(holder, 0);
    if (c.holder != Holder::kNone) {
        ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    }
    const int waiter = open(node.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(waiter, 0);

    std::thread release([&] {
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &alarm, nullptr);  // the signals are for the waiter
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        if (c.holder == Holder::kCloses) close(holder);
        if (c.holder == Holder::kUnlocks) flock(holder, LOCK_UN);
    });
    const auto start = std::chrono::steady_clock::now();
    int result = -1;
    if (c.holder == Holder::kKeepsUnderSignals) {
        const SignalStorm storm;
        result = vokWaitForTokenLock(waiter, kLimitMillis);
    } else {
        result = vokWaitForTokenLock(waiter, kLimitMillis);
    }
    const auto waited = std::chrono::steady_clock::now() - start;
    release.join();

    EXPECT_EQ(result, c.expected);
    if (c.expected == EBUSY) {
        EXPECT_GE(waited, std::chrono::milliseconds(kLimitMillis)) << "the wait ended early";
    } else {
        const int other = open(node.c_str(), O_RDWR | O_CLOEXEC);
        EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0) << "the waiter does not hold the lock";
        close(other);
    }
    close(waiter);
    if (c.holder != Holder::kCloses) close(holder);
}

INSTANTIATE_TEST_SUITE_P(
    Holders, TokenLockWait,
    ::testing::Values(WaitCase{"Free", Holder::kNone, 0},
                      WaitCase{"HolderCloses", Holder::kCloses, 0},
                      WaitCase{"HolderUnlocksWithoutClosing", Holder::kUnlocks, 0},
                      WaitCase{"HolderKeepsIt", Holder::kKeeps, EBUSY},
                      WaitCase{"HolderKeepsItWhileSignalsArrive", Holder::kKeepsUnderSignals,
                               EBUSY}),
    [](const ::testing::TestParamInfo<WaitCase>& info) { return info.param.name; });

}  // namespace
