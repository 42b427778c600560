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
// and, between tries, the thread sleeps on an inotify watch of the node:
// closing any descriptor of the node (the holder's release, or the end of one
// of its transactions) wakes it at once. It also looks again every
// kRecheckMillis, in case the holder released the lock without a close, and
// sleeps in short steps when no inotify instance can be had.
//
// A process forked while a thread holds the lock gets a copy of the lock's
// descriptor, and with it a share of the lock, until it execs (the descriptor
// is close-on-exec) or exits. A child that does neither, such as a worker
// forked without exec, would keep the token from everybody; so the held
// descriptors are listed, and a fork handler closes them in the child.
#include "lock/tokenLock.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "common/vokAssert.h"
#include "diagnostics/trace.h"
#include "vok/vok.h"

namespace {

constexpr int kRecheckMillis = 50;
constexpr int kSleepStepMillis = 1;

// The descriptors that hold a token lock in this process. A lock taken while
// all slots are in use works as well; only a child forked during it keeps it.
constexpr int kHeldSlots = 256;
struct HeldLocks {
    pthread_mutex_t guard;  // held from open to listing and from unlisting to close
    int fds[kHeldSlots];    // 0: free slot (the library's descriptors are above 2)
};
HeldLocks gHeldLocks = {PTHREAD_MUTEX_INITIALIZER, {}};
pthread_once_t gForkHandlerOnce = PTHREAD_ONCE_INIT;

void lock_held_list() {
    const int r = pthread_mutex_lock(&gHeldLocks.guard);
    VOK_ASSERT(r == 0);
}

void unlock_held_list() {
    const int r = pthread_mutex_unlock(&gHeldLocks.guard);
    VOK_ASSERT(r == 0);
}

// In the child, only the forking thread lives on: every listed descriptor
// belonged to another thread's call, which will never release it here.
void close_held_in_child() {
    for (int& fd : gHeldLocks.fds) {
        if (fd != 0) (void)close(fd);
        fd = 0;
    }
    unlock_held_list();
}

void install_fork_handler() {
    const int r = pthread_atfork(lock_held_list, unlock_held_list, close_held_in_child);
    VOK_ASSERT(r == 0);
}

// Opens the node and lists the descriptor, with no fork in between.
int open_listed(const char* path) {
    lock_held_list();
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    const int error = errno;
    if (fd >= 0) {
        for (int& slot : gHeldLocks.fds) {
            if (slot == 0) {
                slot = fd;
                break;
            }
        }
    }
    unlock_held_list();
    errno = error;
    return fd;
}

// Takes the descriptor off the list and closes it, with no fork in between.
void close_listed(int fd) {
    lock_held_list();
    for (int& slot : gHeldLocks.fds) {
        if (slot == fd) {
            slot = 0;
            break;
        }
    }
    const int ret = close(fd);
    unlock_held_list();
    VOK_ASSERT(ret == 0);
}

int64_t now_millis() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// 0 with the lock held, EWOULDBLOCK while another description holds it, or
// the error of flock.
int try_lock(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    return errno == EAGAIN ? EWOULDBLOCK : errno;
}

// A watch on the node's closes; -1 when none can be had (then the wait
// sleeps in steps).
int watch_closes(const char* path) {
    const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch < 0) return -1;
    if (inotify_add_watch(watch, path, IN_CLOSE | IN_DELETE_SELF | IN_MOVE_SELF) < 0) {
        const int ret = close(watch);
        VOK_ASSERT(ret == 0);
        return -1;
    }
    return watch;
}

// Drops the events that have arrived; only their arrival mattered.
void drain(int watch) {
    alignas(inotify_event) char events[512];
    while (read(watch, events, sizeof events) > 0) {
    }
}

// Sleeps until the watch reports a close or `millis` have passed; a signal
// ends the sleep early, and the caller looks at the clock again.
void sleep_for_close(int watch, int millis) {
    if (watch >= 0) {
        pollfd waiting{watch, POLLIN, 0};
        if (poll(&waiting, 1, millis) > 0) drain(watch);
        return;
    }
    const int step = std::min(millis, kSleepStepMillis);
    const timespec pause{0, static_cast<long>(step) * 1000000};
    (void)nanosleep(&pause, nullptr);
}

}  // namespace

int vokWaitForTokenLock(int fd, const char* path, uint32_t limitMillis) {
    VOK_ASSERT(fd >= 0);
    VOK_ASSERT(path);
    int result = try_lock(fd);
    if (result != EWOULDBLOCK) return result;

    const int64_t deadline = now_millis() + limitMillis;
    // The watch comes before the next try, so that a release between the
    // two cannot go unnoticed.
    const int watch = watch_closes(path);
    for (;;) {
        result = try_lock(fd);
        if (result != EWOULDBLOCK) break;
        const int64_t left = deadline - now_millis();
        if (left <= 0) {
            result = EBUSY;
            break;
        }
        sleep_for_close(watch, static_cast<int>(std::min<int64_t>(left, kRecheckMillis)));
    }
    if (watch >= 0) {
        const int ret = close(watch);
        VOK_ASSERT(ret == 0);
    }
    return result;
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
    const int error = vokWaitForTokenLock(fd, devicePath, VOK_TOKEN_WAIT_LIMIT_MS);
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
