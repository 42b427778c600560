// The wait for a token held by another process: as long as the holder makes
// progress, however long its call; bounded for a holder stopped in the
// middle of a call (SIGSTOP, as under a debugger), whose waiters (an open,
// and a read on a handle opened before) fail with EBUSY after the limit,
// while the token works again once the holder goes on. A call that cannot
// have the token, for any reason, gives the outputs of a transaction that
// could not start.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "api/apiFixture.h"

namespace voktest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kCallersByte = 0xC3;

// What a one-byte read gives when its transaction cannot start (its node
// cannot be opened): the caller's byte untouched and the summary of a record
// that never reached the token (all zero). "" when the outputs are those.
std::string outputs_unlike_an_unopened_node(uint8_t byte, const VokIdResponse& response) {
    const VokIdResponse untouched{};
    if (byte != kCallersByte) return "the caller's buffer was written";
    if (std::memcmp(&response, &untouched, sizeof response) != 0) return "the summary differs";
    return "";
}

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
    uint8_t byte = kCallersByte;
    VokIdResponse response;
    std::memset(&response, 0x5A, sizeof response);
    const auto start = Clock::now();
    EXPECT_EQ(vokRead(opened.get(), nullptr, 0, 7, &byte, 1, &response),
              VOK_STATUS_TRANSFER_FAILED);
    const auto readWaited = Clock::now() - start;
    EXPECT_EQ(vokLastSystemError(), EBUSY);
    EXPECT_EQ(outputs_unlike_an_unopened_node(byte, response), "");
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

// A process that may only read the node can still flock it; however busy it
// keeps itself, its waiters give up after the limit instead of waiting on.
TEST(TokenWait, AHolderThatMayOnlyReadTheNodeDelaysNobodyBeyondTheLimit) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to change user";
    TokenTree tree;
    const std::string node = tree.addToken(2);
    ScopedHandle opened(vokOpen(0));
    ASSERT_NE(opened.get(), VOK_INVALID_HANDLE);
    for (const std::string& path : {tree.root(), tree.root() + "/001"}) {
        ASSERT_EQ(chmod(path.c_str(), 0755), 0);
    }
    ASSERT_EQ(chmod(node.c_str(), 0644), 0);
    int locked[2];
    ASSERT_EQ(pipe(locked), 0);
    const pid_t stranger = fork();
    ASSERT_NE(stranger, -1);
    if (stranger == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(90);
        const int fd = open(node.c_str(), O_RDONLY);
        const char done = 'l';
        if (fd < 0 || flock(fd, LOCK_EX) != 0 || write(locked[1], &done, 1) != 1) _exit(91);
        std::atomic<unsigned> spin{0};
        for (;;) spin.fetch_add(1, std::memory_order_relaxed);
    }
    close(locked[1]);
    char done = 0;
    ASSERT_EQ(read(locked[0], &done, 1), 1) << "the stranger could not lock the node";
    uint8_t byte = 0;
    VokIdResponse response;
    EXPECT_EQ(vokRead(opened.get(), nullptr, 0, 7, &byte, 1, &response),
              VOK_STATUS_TRANSFER_FAILED);
    EXPECT_EQ(vokLastSystemError(), EBUSY);
    kill(stranger, SIGKILL);
    waitpid(stranger, nullptr, 0);
    close(locked[0]);
}

// A holder whose call lasts longer than the limit but makes progress all along
// (a large write on a slow bus) makes no other program's call fail: they wait
// their turn.
TEST(TokenWait, ACallLongerThanTheLimitMakesNoWaiterFail) {
    TokenTree tree;
    voksim::Identity large;
    large.memoryUnits = 255;  // the largest memory: 65280 bytes
    const std::string node = tree.addToken(2, large);
    ASSERT_TRUE(voksim::setLogging(node, false));
    voksim::Faults slow;
    slow.latencyMicros = 2500;  // a slow bus: 24 KiB take about 15 s
    ASSERT_TRUE(voksim::setFaults(node, slow));
    int started[2];
    ASSERT_EQ(pipe(started), 0);
    const auto begin = Clock::now();
    const pid_t writer = fork();
    ASSERT_NE(writer, -1);
    if (writer == 0) {
        const VokHandle handle = vokOpen(0);
        std::vector<uint8_t> bytes(24 * 1024, 0x42);
        VokIdResponse response;
        const char ready = 'w';
        if (handle == VOK_INVALID_HANDLE || write(started[1], &ready, 1) != 1) _exit(2);
        _exit(vokWrite(handle, nullptr, 0, 0, bytes.data(), static_cast<uint32_t>(bytes.size()),
                       &response) == 0
                  ? 0
                  : 1);
    }
    char ready = 0;
    ASSERT_EQ(read(started[0], &ready, 1), 1);
    std::vector<pid_t> readers;
    for (int r = 0; r < 2; ++r) {
        const pid_t reader = fork();
        ASSERT_NE(reader, -1);
        if (reader == 0) {
            const VokHandle handle = vokOpen(0);
            int failed = handle == VOK_INVALID_HANDLE;
            for (int call = 0; call < 3; ++call) {
                uint8_t byte = 0;
                VokIdResponse response;
                failed += vokRead(handle, nullptr, 0, 30000, &byte, 1, &response) != 0;
            }
            _exit(failed);
        }
        readers.push_back(reader);
    }
    for (const pid_t child : readers) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a waiter's call failed";
    }
    int status = 0;
    ASSERT_EQ(waitpid(writer, &status, 0), writer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the long write failed";
    EXPECT_GT(Clock::now() - begin, std::chrono::milliseconds(VOK_TOKEN_WAIT_LIMIT_MS))
        << "the write did not outlast the limit: the test proves nothing";
    close(started[0]);
    close(started[1]);
}

// Whatever keeps a call from the token, its outputs are those of a
// transaction that could not start, and vokLastSystemError() says why.
struct Refusal {
    const char* name;
    int error;                                 // of the call on an open handle
    int openError;                             // of vokOpen
    void (*arrange)(const std::string& node);  // runs in a child of its own
};

void remove_node(const std::string& node) { unlink(node.c_str()); }

void become_a_stranger(const std::string& node) {
    chmod(node.c_str(), 0600);
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(90);
}

void use_every_descriptor(const std::string&) {
    const rlimit few{64, 64};
    if (setrlimit(RLIMIT_NOFILE, &few) != 0) _exit(91);
    while (dup(STDERR_FILENO) >= 0) {
    }
}

class TokenRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(TokenRefusal, GivesTheOutputsOfATransactionThatCouldNotStart) {
    if (geteuid() != 0 && GetParam().error == EACCES) GTEST_SKIP() << "needs root to change user";
    TokenTree tree;
    const std::string node = tree.addToken(2);
    ScopedHandle opened(vokOpen(0));
    ASSERT_NE(opened.get(), VOK_INVALID_HANDLE);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        GetParam().arrange(node);
        uint8_t byte = kCallersByte;
        VokIdResponse response;
        std::memset(&response, 0x5A, sizeof response);
        std::string wrong;
        if (vokRead(opened.get(), nullptr, 0, 7, &byte, 1, &response) != 5) wrong = "status; ";
        if (vokLastSystemError() != GetParam().error) wrong += "system error; ";
        wrong += outputs_unlike_an_unopened_node(byte, response);
        if (vokOpen(0) != VOK_INVALID_HANDLE || vokLastSystemError() != GetParam().openError) {
            wrong += "; vokOpen";
        }
        if (!wrong.empty()) std::fprintf(stderr, "%s: %s\n", GetParam().name, wrong.c_str());
        _exit(wrong.empty() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Causes, TokenRefusal,
    ::testing::Values(Refusal{"NodeGone", ENOENT, ENODEV, remove_node},
                      Refusal{"NoAccess", EACCES, EACCES, become_a_stranger},
                      Refusal{"NoDescriptorLeft", EMFILE, EMFILE, use_every_descriptor}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return info.param.name; });

// A process started while another thread holds the token gets a copy of the
// lock's descriptor. A child forked without exec (a long-lived worker) has it
// closed by the library's fork handler; a program started by posix_spawn,
// which runs no fork handler, loses it at exec (close-on-exec). Neither keeps
// the token from everybody.
enum class Started { kForkedWithoutExec, kSpawned };

pid_t start_process(Started how) {
    if (how == Started::kForkedWithoutExec) {
        const pid_t worker = fork();
        if (worker == 0) {
            pause();
            _exit(0);
        }
        return worker;
    }
    char sh[] = "/bin/sh";
    char dashC[] = "-c";
    char script[] = "exec sleep 600";
    char* argv[] = {sh, dashC, script, nullptr};
    pid_t program = -1;
    return posix_spawn(&program, sh, nullptr, nullptr, argv, environ) == 0 ? program : -1;
}

// Returns once somebody holds the token lock of `node`.
void wait_until_held(const std::string& node) {
    const int probe = open(node.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(probe, 0);
    while (flock(probe, LOCK_EX | LOCK_NB) == 0) {
        flock(probe, LOCK_UN);
        std::this_thread::yield();
    }
    close(probe);
}

class TokenWaitStarted : public ::testing::TestWithParam<Started> {};

TEST_P(TokenWaitStarted, AProcessStartedDuringACallDoesNotKeepTheToken) {
    TokenTree tree;
    const std::string node = tree.addToken(2);
    ScopedHandle handle(vokOpen(0));
    ASSERT_NE(handle.get(), VOK_INVALID_HANDLE);
    voksim::Faults slow;
    slow.latencyMicros = 1000;
    ASSERT_TRUE(voksim::setFaults(node, slow));
    std::atomic<bool> reading{false};
    std::thread reader([&] {
        uint8_t bytes[1024];
        VokIdResponse response;
        reading = true;
        EXPECT_EQ(vokRead(handle.get(), nullptr, 0, 0, bytes, sizeof bytes, &response), 0u);
    });
    while (!reading) std::this_thread::yield();
    wait_until_held(node);
    const pid_t started = start_process(GetParam());
    reader.join();
    ASSERT_GT(started, 0);
    ASSERT_TRUE(voksim::clearFaults(node));

    uint8_t byte = 0;
    VokIdResponse response;
    EXPECT_EQ(vokRead(handle.get(), nullptr, 0, 7, &byte, 1, &response), VOK_STATUS_OK);
    kill(started, SIGKILL);
    waitpid(started, nullptr, 0);
}

INSTANTIATE_TEST_SUITE_P(Ways, TokenWaitStarted,
                         ::testing::Values(Started::kForkedWithoutExec, Started::kSpawned),
                         [](const ::testing::TestParamInfo<Started>& info) {
                             return info.param == Started::kSpawned ? "Spawned"
                                                                    : "ForkedWithoutExec";
                         });

}  // namespace
}  // namespace voktest
