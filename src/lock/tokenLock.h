// The token lock: one call at a time on a token, across handles, threads and
// processes (see tokenLock.cpp).
#pragma once

#include <cstdint>

// Opens the token's usbfs node at `devicePath` and takes the lock on that
// descriptor, waiting at most VOK_TOKEN_WAIT_LIMIT_MS for another holder.
// Returns the descriptor that holds the lock, or -1; the thread's last system
// error then says why (EBUSY after the limit, else why the node did not open
// or could not be locked).
int vokLockToken(const char* devicePath);
// Releases the lock: closes its descriptor.
void vokUnlockToken(int lockFd);

// The wait itself, on an open descriptor `fd` of the node: 0 with the lock
// held (until `fd` is closed), EBUSY when the wait reached `limitMillis`, or
// the errno of a failing flock. Signals do not end it early.
int vokWaitForTokenLock(int fd, uint32_t limitMillis);
