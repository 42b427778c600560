// The token lock: one call at a time on a token, across handles, threads and
// processes, in the order the callers asked (see tokenLock.cpp).
#pragma once

#include <cstdint>

// Opens the token's usbfs node at `devicePath` and takes the lock on that
// descriptor, in turn, waiting as long as the holder makes progress and at
// most VOK_TOKEN_WAIT_LIMIT_MS after its last. Returns the descriptor that
// holds the lock, or -1; errno and the thread's last system error then say
// why (EBUSY after the limit, else why the node did not open or could not be
// locked).
int vokLockToken(const char* devicePath);
// Releases the lock: closes its descriptor.
void vokUnlockToken(int lockFd);

// The wait itself, on an open descriptor `fd` of the node: 0 with the lock
// held (until `fd` is closed), EBUSY when the holder made no progress for
// `limitMillis`, or the errno of a failing flock or fstat. Signals do not end
// it early.
int vokWaitForTokenLock(int fd, uint32_t limitMillis);

// A call whose token could not be had still runs its commands, so that its
// outputs are those of a transaction that could not start: while `error` is
// set (not 0), the calling thread's transactions fail before they open the
// node, as if it could not be opened. 0 lifts it.
void vokRefuseTokenTransactions(int error);
int vokTokenRefusal();
