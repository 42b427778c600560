// The queue of callers waiting for a token: each waiter holds an
// open-file-description read lock (F_OFD_SETLK) of one byte of the token's
// node, far beyond any data, at an offset made of the time it began to wait.
// A waiter takes the token only when no lock lies before its own, so callers
// get the token in the order they asked, threads and processes alike.
//
// The kernel keeps the queue: a waiter that dies or closes its descriptor
// leaves it at once, and nobody needs a shared file or memory. Only a program
// that can open the node can join it. The locks are not the token lock (an
// flock on the same node) and do not touch it: exclusion never depends on the
// queue, only the order does.
#include "lock/tokenQueue.h"

#include <fcntl.h>

#include <ctime>

#include "common/vokAssert.h"

namespace {

// Places start here; CLOCK_MONOTONIC's nanoseconds stay below 2^62 for over
// a century of uptime.
constexpr int64_t kQueueStart = int64_t{1} << 62;

struct flock byte_range(short type, int64_t start, int64_t length) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = start;
    range.l_len = length;  // 0: to the end of every possible offset
    return range;
}

// The start of a lock of another description in [start, start + length), or
// 0 when there is none.
int64_t lock_in(int fd, int64_t start, int64_t length) {
    struct flock probe = byte_range(F_WRLCK, start, length);
    if (fcntl(fd, F_OFD_GETLK, &probe) != 0 || probe.l_type == F_UNLCK) return 0;
    return probe.l_start;
}

}  // namespace

bool vokTokenQueueBusy(int fd) { return lock_in(fd, kQueueStart, 0) != 0; }

int64_t vokJoinTokenQueue(int fd) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t place = kQueueStart + int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
    struct flock mine = byte_range(F_RDLCK, place, 1);
    return fcntl(fd, F_OFD_SETLK, &mine) == 0 ? place : 0;
}

int64_t vokPlaceAheadInTokenQueue(int fd, int64_t place) {
    if (place == 0) return 0;
    return lock_in(fd, kQueueStart, place - kQueueStart);
}

void vokLeaveTokenQueue(int fd, int64_t place) {
    if (place == 0) return;
    struct flock mine = byte_range(F_UNLCK, place, 1);
    const int r = fcntl(fd, F_OFD_SETLK, &mine);
    VOK_ASSERT(r == 0);
}
