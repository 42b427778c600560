// The token lock.
//
// A token runs one transaction at a time, whoever sends the packets: a
// phase-0 packet or a bus reset from one program ends another's transaction,
// and an unaligned write reads its edge words in transactions of their own.
// So every call holds an exclusive lock on the token for all its
// transactions, taken on a descriptor of the token's own usbfs node with
// flock(2):
// - flock belongs to the open file description, so two handles of one
//   process (each call opens its own descriptor) exclude each other exactly
//   as two processes do;
// - it needs no shared directory and names the token itself: no hash, no
//   collisions, no lock file that another user could create first;
// - the kernel drops it when the holder closes its descriptor or dies.
//
// flock cannot wait with a time limit, so the lock is tried without blocking
// and, between tries, the thread sleeps: 20 us at first, twice as long after
// each miss, at most 1 ms. A call's gap between two holds is longer than the
// first sleeps (its handle lookup alone passes two yields), so a waiter gets
// its turn; a woken sleep (a signal) just tries again. (A watch on the node's
// closes would wake a waiter at once, but creating and closing an inotify
// instance costs about 0.7 ms, more than the waits it would save.)
//
// A process forked while a thread holds the lock gets a copy of the lock's
// descriptor, and with it a share of the lock, until it execs (the descriptor
// is close-on-exec) or exits. A child that does neither, such as a worker
// forked without exec, would keep the token from everybody; so the held
// descriptors are listed, and a fork handler closes them in the child.
#include "lock/tokenLock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>

#include "common/openAboveStdio.h"
#include "common/vokAssert.h"
#include "diagnostics/trace.h"
#include "vok/vok.h"

namespace {

constexpr int64_t kFirstSleepMicros = 20;
constexpr int64_t kLongestSleepMicros = 1000;

// The descriptors that hold a token lock in this process. A lock taken while
// all slots are in use works as well; only a child forked during it keeps it.
// Opening and listing a descriptor, and unlisting and closing it, happen
// under the fork guard's read side, so that no fork falls between them; the
// fork takes the write side. Calls on different tokens share only the read
// side, and do not wait for each other.
constexpr int kHeldSlots = 256;
pthread_rwlock_t gForkGuard = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
std::atomic<int> gHeldFds[kHeldSlots];  // 0: a free slot (the library's descriptors are above 2)
pthread_once_t gForkHandlerOnce = PTHREAD_ONCE_INIT;

void enter_fork_guard() {
    const int r = pthread_rwlock_rdlock(&gForkGuard);
    VOK_ASSERT(r == 0);
}

void leave_fork_guard() {
    const int r = pthread_rwlock_unlock(&gForkGuard);
    VOK_ASSERT(r == 0);
}

void hold_off_calls() {
    const int r = pthread_rwlock_wrlock(&gForkGuard);
    VOK_ASSERT(r == 0);
}

// In the child, only the forking thread lives on: every listed descriptor
// belonged to another thread's call, which will never release it here. The
// guard starts afresh: a read-write lock cannot be unlocked in the child,
// where the thread that write-locked it has another thread ID.
void close_held_in_child() {
    for (std::atomic<int>& slot : gHeldFds) {
        const int fd = slot.exchange(0);
        if (fd != 0) (void)close(fd);
    }
    const pthread_rwlock_t fresh = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
    gForkGuard = fresh;
}

void install_fork_handler() {
    const int r = pthread_atfork(hold_off_calls, leave_fork_guard, close_held_in_child);
    VOK_ASSERT(r == 0);
}

// Opens the node and lists the descriptor, with no fork in between.
int open_listed(const char* path) {
    enter_fork_guard();
    const int fd = vokOpenAboveStdio(path, O_RDWR | O_CLOEXEC);
    const int error = errno;
    for (std::atomic<int>& slot : gHeldFds) {
        int expected = 0;
        if (fd < 0 || slot.compare_exchange_strong(expected, fd)) break;
    }
    leave_fork_guard();
    errno = error;
    return fd;
}

// Takes the descriptor off the list and closes it, with no fork in between.
void close_listed(int fd) {
    enter_fork_guard();
    for (std::atomic<int>& slot : gHeldFds) {
        int expected = fd;
        if (slot.compare_exchange_strong(expected, 0)) break;
    }
    const int ret = close(fd);
    leave_fork_guard();
    VOK_ASSERT(ret == 0);
}

int64_t now_micros() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void sleep_micros(int64_t micros) {
    const timespec pause{0, static_cast<long>(micros) * 1000};
    (void)nanosleep(&pause, nullptr);  // a signal ends it early; the caller looks again
}

// 0 with the lock held, EWOULDBLOCK while another description holds it, or
// the error of flock.
int try_lock(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    return errno == EAGAIN ? EWOULDBLOCK : errno;
}

}  // namespace

int vokWaitForTokenLock(int fd, uint32_t limitMillis) {
    VOK_ASSERT(fd >= 0);
    const int64_t deadline = now_micros() + int64_t{limitMillis} * 1000;
    int64_t pause = kFirstSleepMicros;
    for (;;) {
        const int result = try_lock(fd);
        if (result != EWOULDBLOCK) return result;
        const int64_t left = deadline - now_micros();
        if (left <= 0) return EBUSY;
        sleep_micros(std::min(pause, left));
        pause = std::min(2 * pause, kLongestSleepMicros);
    }
}

int vokLockToken(const char* devicePath) {
    VOK_ASSERT(devicePath);
    const int r = pthread_once(&gForkHandlerOnce, install_fork_handler);
    VOK_ASSERT(r == 0);
    const int fd = open_listed(devicePath);
    if (fd < 0) {
        vokTraceSystemError("open", devicePath, errno);
        return -1;
    }
    const int error = vokWaitForTokenLock(fd, VOK_TOKEN_WAIT_LIMIT_MS);
    if (error == 0) return fd;
    vokTraceSystemError("flock", devicePath, error);
    if (error == EBUSY) {
        vokTraceFailure("another program or handle held the token for longer than the wait limit",
                        devicePath);
    }
    close_listed(fd);
    return -1;
}

void vokUnlockToken(int lockFd) {
    VOK_ASSERT(lockFd >= 0);
    close_listed(lockFd);
}
