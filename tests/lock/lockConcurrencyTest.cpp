// The device lock between threads (pool slots) and between processes
// (record locks on the lock files), including the retry after the kernel
// refuses a record lock as a deadlock. This binary is linked with
// -Wl,--wrap=fcntl so that the tests can see that refusal happen.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "discovery/testSupport.h"
#include "lock/mutexInternal.h"

extern "C" int __real_fcntl(int fd, int cmd, ...);  // NOLINT(bugprone-reserved-identifier)

namespace {
std::atomic<int> gDeadlockRefusals{0};
}  // namespace

extern "C" int __wrap_fcntl(int fd, int cmd, ...) {  // NOLINT(bugprone-reserved-identifier)
    va_list args;
    va_start(args, cmd);
    void* arg = va_arg(args, void*);
    va_end(args);
    const int result = __real_fcntl(fd, cmd, arg);
    if (result == -1 && cmd == F_SETLKW && errno == EDEADLK) {
        gDeadlockRefusals.fetch_add(1);  // leaves errno alone
    }
    return result;
}

namespace {

using voktest::TempDir;

std::string lockFileOf(const TempDir& ipc, const char* name) {
    char file[] = "vok00.lock";
    const size_t number = lock_num_hash(name);
    file[3] = static_cast<char>('0' + number / 10);
    file[4] = static_cast<char>('0' + number % 10);
    return ipc / file;
}

// Waits (without a time limit that could fail a slow run, but with a
// generous watchdog against a hang) until `done` holds.
bool waitUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Whether the kernel lists a blocked record lock request of process `pid`.
bool processWaitsForRecordLock(pid_t pid) {
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string field;
        bool blocked = false;
        while (fields >> field) {
            blocked = blocked || field == "->";
            if (blocked && field == std::to_string(pid)) {
                return true;
            }
        }
    }
    return false;
}

// The scheduler state letter of a thread of this process ('S' = sleeping).
char threadState(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t paren = text.rfind(')');
    return paren != std::string::npos && paren + 2 < text.size() ? text[paren + 2] : '?';
}

// The nth name (from 0) that shares, or does not share, its lock file and its
// pool slot with `name`.
std::string partnerOf(const char* name, bool sameFile, bool sameSlot, int nth = 0) {
    for (int i = 0;; ++i) {
        const std::string candidate = "name-" + std::to_string(i);
        if ((lock_num_hash(candidate.c_str()) == lock_num_hash(name)) == sameFile &&
            (hash_str(candidate.c_str(), 11) == hash_str(name, 11)) == sameSlot && nth-- == 0) {
            return candidate;
        }
    }
}

class LockConcurrencyTest : public voktest::LockDirTest {};

TEST_F(LockConcurrencyTest, SecondThreadWaitsForTheFirstToUnlock) {
    VokMutex held = kVokMutexNotHeld;
    vokMutexLock("abc", &held);
    ASSERT_GE(held.fd, 0);

    std::atomic<pid_t> tid{0};
    std::atomic<bool> released{false};
    std::atomic<bool> acquired{false};
    bool acquiredAfterRelease = false;
    std::thread second([&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        VokMutex mine = kVokMutexNotHeld;
        vokMutexLock("abc", &mine);
        acquiredAfterRelease = released.load() && mine.fd >= 0;
        acquired = true;
        vokMutexUnLock(&mine);
    });
    // Release only once the second thread sleeps (waiting) or is done.
    EXPECT_TRUE(waitUntil([&] { return acquired || (tid != 0 && threadState(tid) == 'S'); }));
    released = true;
    vokMutexUnLock(&held);
    second.join();
    EXPECT_TRUE(acquiredAfterRelease);
    EXPECT_EQ(vokMutexPoolCount(), 0U);
}

TEST_F(LockConcurrencyTest, NamesOfOneSlotExcludeEachOther) {
    // Different lock files, one pool slot: the slot alone keeps them apart.
    const std::string names[] = {"abc", partnerOf("abc", false, true),
                                 partnerOf("abc", false, true, 1)};
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    long unguarded = 0;  // written only under the lock
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i) {
                const std::string& name = names[(t + i) % 3];
                VokMutex mutex = kVokMutexNotHeld;
                vokMutexLock(name.c_str(), &mutex);
                overlaps += inside.fetch_add(1) != 0 ? 1 : 0;
                ++unguarded;
                std::this_thread::yield();  // give an intruder its chance
                inside.fetch_sub(1);
                vokMutexUnLock(&mutex);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(unguarded, 400);
    EXPECT_EQ(vokMutexPoolCount(), 0U);
}

TEST_F(LockConcurrencyTest, ProcessesSharingALockFileTakeTurns) {
    const std::string other = partnerOf("abc", true, false);
    const std::string file = lockFileOf(ipc, "abc");
    ASSERT_EQ(lockFileOf(ipc, other.c_str()), file);

    VokMutex held = kVokMutexNotHeld;
    vokMutexLock("abc", &held);
    ASSERT_GE(held.fd, 0);
    int channel[2];
    ASSERT_EQ(pipe2(channel, O_CLOEXEC), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        VokMutex mine = kVokMutexNotHeld;
        vokMutexLock(other.c_str(), &mine);
        const char got = mine.fd >= 0 ? 'L' : 'F';
        const bool sent = write(channel[1], &got, 1) == 1;
        vokMutexUnLock(&mine);
        _exit(sent ? 0 : 1);
    }
    close(channel[1]);
    fcntl(channel[0], F_SETFL, O_NONBLOCK);
    char got = 0;
    bool tookItEarly = false;
    EXPECT_TRUE(waitUntil([&] {
        tookItEarly = read(channel[0], &got, 1) == 1;
        return tookItEarly || processWaitsForRecordLock(child);
    }));
    EXPECT_FALSE(tookItEarly) << "the second process did not wait";

    vokMutexUnLock(&held);
    fcntl(channel[0], F_SETFL, 0);
    if (!tookItEarly) {
        ASSERT_EQ(read(channel[0], &got, 1), 1);
    }
    EXPECT_EQ(got, 'L');
    close(channel[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    // The child took the lock last.
    const std::vector<uint8_t> content = voktest::readFile(file);
    ASSERT_EQ(content.size(), 8U);
    int64_t pid = 0;
    memcpy(&pid, content.data(), sizeof(pid));
    EXPECT_EQ(pid, child);
}

void ignoreTick(int) {}

// While the lock file is held by another process, a signal handler installed
// without SA_RESTART cuts the wait for it short every 2 ms: the wait goes on.
TEST_F(LockConcurrencyTest, AnInterruptedWaitForTheLockFileWaitsAgain) {
    const std::string other = partnerOf("abc", true, false);
    VokMutex held = kVokMutexNotHeld;
    vokMutexLock("abc", &held);
    ASSERT_GE(held.fd, 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct sigaction tick = {};
        tick.sa_handler = ignoreTick;
        const itimerval every2ms = {{0, 2000}, {0, 2000}};
        if (sigaction(SIGALRM, &tick, nullptr) != 0 ||
            setitimer(ITIMER_REAL, &every2ms, nullptr) != 0) {
            _exit(2);
        }
        VokMutex mine = kVokMutexNotHeld;
        vokMutexLock(other.c_str(), &mine);
        const bool took = mine.fd >= 0;
        vokMutexUnLock(&mine);
        _exit(took ? 0 : 1);
    }
    int status = 0;
    bool ended = false;
    EXPECT_TRUE(waitUntil([&] {
        ended = waitpid(child, &status, WNOHANG) == child;
        return ended || processWaitsForRecordLock(child);
    }));
    vokMutexUnLock(&held);
    if (!ended) {
        ASSERT_EQ(waitpid(child, &status, 0), child);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "went on without the lock";
}

// Process A: thread 1 holds lock file F1, thread 2 asks for F2. Process B
// holds F2 and waits for F1. The kernel refuses thread 2's request as a
// deadlock (record locks belong to processes); thread 2 then waits until
// thread 1 has let go, asks again, and gets F2 once B is done.
TEST_F(LockConcurrencyTest, DeadlockRefusalIsRetriedOnceTheOtherThreadsLetGo) {
    const char* first = "abc";
    const std::string second = partnerOf(first, false, false);
    const std::string file1 = lockFileOf(ipc, first);
    const std::string file2 = lockFileOf(ipc, second.c_str());

    VokMutex held1 = kVokMutexNotHeld;
    vokMutexLock(first, &held1);
    ASSERT_GE(held1.fd, 0);

    int channel[2];
    ASSERT_EQ(pipe2(channel, O_CLOEXEC), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct flock request = {};
        request.l_type = F_WRLCK;
        request.l_whence = SEEK_SET;
        request.l_len = 1;
        const int fd2 = open(file2.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        const int fd1 = open(file1.c_str(), O_RDWR | O_CLOEXEC);
        if (fd1 < 0 || fd2 < 0 || fcntl(fd2, F_SETLKW, &request) != 0 ||
            write(channel[1], "2", 1) != 1 || fcntl(fd1, F_SETLKW, &request) != 0) {
            _exit(1);
        }
        close(fd1);
        close(fd2);
        _exit(0);
    }
    close(channel[1]);
    char ready = 0;
    ASSERT_EQ(read(channel[0], &ready, 1), 1);  // B holds F2
    close(channel[0]);
    ASSERT_TRUE(waitUntil([&] { return processWaitsForRecordLock(child); }));  // B waits for F1

    std::atomic<bool> finished{false};
    bool tookSecond = false;
    std::thread thread2([&] {
        VokMutex held2 = kVokMutexNotHeld;
        vokMutexLock(second.c_str(), &held2);
        tookSecond = held2.fd >= 0;
        vokMutexUnLock(&held2);
        finished = true;
    });
    // Let go of F1 only after the refusal (or after thread 2 gave up).
    EXPECT_TRUE(waitUntil([&] { return gDeadlockRefusals.load() > 0 || finished.load(); }));
    vokMutexUnLock(&held1);
    thread2.join();

    EXPECT_EQ(gDeadlockRefusals.load(), 1);
    EXPECT_TRUE(tookSecond);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(vokMutexPoolCount(), 0U);
}

}  // namespace
