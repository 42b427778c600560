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
// Turns: waiters queue on the same node (lock/tokenQueue.cpp) and only the
// first of them tries the lock, so callers get the token in the order they
// asked. flock cannot wait with a time limit, so the first waiter tries
// without blocking and sleeps between tries: 20 us at first, twice as long
// after each miss, at most 1 ms; the others look at the queue every 2 ms.
// A woken sleep (a signal) just looks again.
//
// How long: a waiter waits as long as the holder makes progress, and gives
// up with EBUSY once the holder has made none for the limit. Progress is
// what the kernel shows of the holder (lock/tokenHolder.cpp): the holder
// changed, or its task ran. The holder's process comes from /proc/locks;
// when that is this process, the listed descriptors below name the very
// thread that holds it. A holder that cannot be seen (in another PID
// namespace, or a descriptor that is not the library's), and one that may
// only read the node (it could flock it all the same), shows no progress, so
// the limit counts from the start of the wait, as a fixed bound.
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
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>

#include "common/openAboveStdio.h"
#include "common/vokAssert.h"
#include "diagnostics/trace.h"
#include "lock/tokenHolder.h"
#include "lock/tokenQueue.h"
#include "vok/vok.h"

namespace {

constexpr int64_t kFirstSleepMicros = 20;
constexpr int64_t kLongestSleepMicros = 1000;
constexpr int64_t kQueuedSleepMicros = 2000;
// How often a waiter looks at the holder's progress.
constexpr int64_t kProgressLookMicros = 100000;

// A descriptor of this process that holds, or waits for, a token lock, and
// the thread and node it is for (0 until the lock is held).
struct ListedLock {
    std::atomic<int> fd;  // 0: a free slot (the library's descriptors are above 2)
    std::atomic<pid_t> thread;
    std::atomic<dev_t> device;
    std::atomic<ino_t> inode;
};

// The descriptors that hold a token lock in this process. A lock taken while
// all slots are in use works as well; only a child forked during it keeps it,
// and a waiter in this process sees its holder as one it cannot see.
// Opening and listing a descriptor, and unlisting and closing it, happen
// under the fork guard's read side, so that no fork falls between them; the
// fork takes the write side. Calls on different tokens share only the read
// side, and do not wait for each other.
constexpr int kHeldSlots = 256;
pthread_rwlock_t gForkGuard = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
ListedLock gHeldFds[kHeldSlots];
pthread_once_t gForkHandlerOnce = PTHREAD_ONCE_INIT;

// Why this thread's calls may not reach the token now (see tokenLock.h).
thread_local int tRefusal = 0;

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
    for (ListedLock& slot : gHeldFds) {
        slot.thread = 0;
        const int fd = slot.fd.exchange(0);
        if (fd != 0) (void)close(fd);
    }
    const pthread_rwlock_t fresh = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
    gForkGuard = fresh;
}

void install_fork_handler() {
    const int r = pthread_atfork(hold_off_calls, leave_fork_guard, close_held_in_child);
    VOK_ASSERT(r == 0);
}

ListedLock* find_listed(int fd) {
    for (ListedLock& slot : gHeldFds) {
        if (slot.fd.load() == fd) return &slot;
    }
    return nullptr;
}

// Opens the node and lists the descriptor, with no fork in between.
int open_listed(const char* path) {
    enter_fork_guard();
    const int fd = vokOpenAboveStdio(path, O_RDWR | O_CLOEXEC);
    const int error = errno;
    for (ListedLock& slot : gHeldFds) {
        int expected = 0;
        if (fd < 0 || slot.fd.compare_exchange_strong(expected, fd)) break;
    }
    leave_fork_guard();
    errno = error;
    return fd;
}

// Takes the descriptor off the list and closes it, with no fork in between.
void close_listed(int fd) {
    enter_fork_guard();
    if (ListedLock* slot = find_listed(fd)) {
        slot->thread = 0;
        slot->fd = 0;
    }
    const int ret = close(fd);
    leave_fork_guard();
    VOK_ASSERT(ret == 0);
}

// Names the thread that now holds the lock of `fd`, for waiters in this
// process.
void note_holder(int fd, const struct stat& node) {
    if (ListedLock* slot = find_listed(fd)) {
        slot->device = node.st_dev;
        slot->inode = node.st_ino;
        slot->thread = gettid();
    }
}

// The thread of this process that holds the lock of `node`, or 0.
pid_t listed_holder(const struct stat& node) {
    for (const ListedLock& slot : gHeldFds) {
        const pid_t thread = slot.thread.load();
        if (thread != 0 && slot.device.load() == node.st_dev && slot.inode.load() == node.st_ino) {
            return thread;
        }
    }
    return 0;
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

// What a waiter sees of the holder of `node`: who it is and how far it got.
struct HolderView {
    pid_t process = 0;  // 0: none that this process can see
    pid_t thread = 0;   // in this process: the holding thread, if listed
    uint64_t progress = 0;
    bool operator==(const HolderView&) const = default;
};

HolderView look_at_holder(const struct stat& node) {
    HolderView view;
    view.process = vokFindTokenHolder(node.st_dev, node.st_ino);
    if (view.process == 0) return view;
    if (view.process == getpid()) {
        // This process runs on while its waiters poll; only the holding
        // thread's own progress counts, and a holder that is not listed
        // shows none.
        view.thread = listed_holder(node);
        if (view.thread != 0) view.progress = vokTaskProgress(view.process, view.thread);
        return view;
    }
    // A holder that may only read the node took the lock without a right to
    // the token: it shows no progress, so it delays nobody beyond the limit.
    if (vokHolderMayWrite(view.process, node)) view.progress = vokTaskProgress(view.process, 0);
    return view;
}

// The wait of a caller that found the token held or others waiting: in turn,
// as long as the holder makes progress.
int wait_in_turn(int fd, uint32_t limitMillis) {
    struct stat node = {};
    if (fstat(fd, &node) != 0) return errno;
    const int64_t place = vokJoinTokenQueue(fd);
    const int64_t limit = int64_t{limitMillis} * 1000;
    int64_t lastProgress = now_micros();
    int64_t lastLook = lastProgress;
    HolderView seen = look_at_holder(node);
    int64_t aheadAtLook = 0;
    bool passStalledQueue = false;
    int64_t pause = kFirstSleepMicros;
    for (;;) {
        const int64_t ahead = vokPlaceAheadInTokenQueue(fd, place);
        if (ahead == 0 || passStalledQueue) {
            const int result = try_lock(fd);
            if (result != EWOULDBLOCK) {
                vokLeaveTokenQueue(fd, place);
                if (result == 0) note_holder(fd, node);
                return result;
            }
        }
        const int64_t now = now_micros();
        if (now - lastLook >= kProgressLookMicros) {
            const HolderView view = look_at_holder(node);
            // A new holder, or the same one further on; one that shows no
            // progress (unseen, or without a right to the node) counts for
            // nothing, also when it changes.
            if (view.progress != 0 && !(view == seen)) lastProgress = now;
            // A waiter ahead that leaves a free token untaken between two
            // looks is stopped or gone astray: do not wait behind it.
            passStalledQueue = ahead != 0 && ahead == aheadAtLook && view.process == 0;
            seen = view;
            aheadAtLook = ahead;
            lastLook = now;
        }
        if (now - lastProgress >= limit) {
            vokLeaveTokenQueue(fd, place);
            return EBUSY;
        }
        if (ahead != 0) {
            sleep_micros(kQueuedSleepMicros);
            pause = kFirstSleepMicros;
        } else {
            sleep_micros(std::min(pause, lastProgress + limit - now));
            pause = std::min(2 * pause, kLongestSleepMicros);
        }
    }
}

}  // namespace

int vokWaitForTokenLock(int fd, uint32_t limitMillis) {
    VOK_ASSERT(fd >= 0);
    // Nobody waiting: a free token is taken at once, else the caller queues.
    if (!vokTokenQueueBusy(fd)) {
        const int result = try_lock(fd);
        if (result != EWOULDBLOCK) {
            struct stat node = {};
            if (result == 0 && fstat(fd, &node) == 0) note_holder(fd, node);
            return result;
        }
    }
    return wait_in_turn(fd, limitMillis);
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
        vokTraceFailure(
            "the program or handle that holds the token made no progress for the "
            "wait limit",
            devicePath);
    }
    close_listed(fd);
    errno = error;
    return -1;
}

void vokUnlockToken(int lockFd) {
    VOK_ASSERT(lockFd >= 0);
    close_listed(lockFd);
}

void vokRefuseTokenTransactions(int error) { tRefusal = error; }

int vokTokenRefusal() { return tRefusal; }
