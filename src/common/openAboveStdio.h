// The library's own descriptors (device nodes, lock files) never take the
// numbers 0, 1 and 2. In a process started with one of them closed, a node
// or lock file there would receive everything that is written to that
// stream: the trace, and the application's own output.
#pragma once

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

// `fd` (close-on-exec) itself when it is above 2 or negative; else a
// close-on-exec duplicate above 2, `fd` closed. -1 with errno set when no
// number above 2 is free.
inline int vokMoveAboveStdio(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int error = errno;
    (void)close(fd);  // a fresh descriptor of the caller's own
    errno = error;
    return moved;
}

// open() with `flags` (O_CLOEXEC among them), the result above 2.
inline int vokOpenAboveStdio(const char* path, int flags, mode_t mode = 0) {
    return vokMoveAboveStdio(open(path, flags, mode));
}
