// The token's holder, seen through /proc (lock/tokenHolder.h).
//
// A holder that makes transfers runs: every transfer wakes its thread, and
// costs a little CPU time. A holder stopped by a signal or a debugger, or
// asleep with no transfer to make, does neither. So progress is the sum of
// the task's CPU time (utime + stime in its stat record) and the number of
// times it was scheduled (the third field of its schedstat record, where the
// kernel keeps one). Both only grow.
//
// The files are read with plain read(2) into buffers on the stack: no
// allocation, and no stdio.
#include "lock/tokenHolder.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Reads up to `size - 1` bytes of `path` into `buffer`, terminated; the
// count read, or -1.
ssize_t read_small_file(const char* path, char* buffer, size_t size) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    size_t total = 0;
    while (total + 1 < size) {
        const ssize_t got = read(fd, buffer + total, size - 1 - total);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        total += static_cast<size_t>(got);
    }
    (void)close(fd);  // read-only: nothing to lose
    buffer[total] = '\0';
    return static_cast<ssize_t>(total);
}

// One line of /proc/locks: "1: FLOCK  ADVISORY  WRITE 1234 00:05:678 0 EOF".
// Lines of waiters ("1: -> FLOCK ...") do not parse. The holder's PID, or 0.
pid_t flock_holder_of_line(const char* line, dev_t device, ino_t inode) {
    char kind[16] = {};
    char access[16] = {};
    int pid = 0;
    unsigned major_number = 0;
    unsigned minor_number = 0;
    unsigned long long node = 0;
    if (std::sscanf(line, "%*[^:]: %15s %*15s %15s %d %x:%x:%llu", kind, access, &pid,
                    &major_number, &minor_number, &node) != 6) {
        return 0;
    }
    if (std::strcmp(kind, "FLOCK") != 0 || std::strcmp(access, "WRITE") != 0) return 0;
    if (major_number != major(device) || minor_number != minor(device) || node != inode) return 0;
    return pid > 0 ? pid : 0;
}

unsigned long long field_after(const char* text, int skip) {
    const char* at = text;
    for (int i = 0; i < skip && at != nullptr; ++i) {
        at = std::strchr(at, ' ');
        if (at != nullptr) ++at;
    }
    return at != nullptr ? std::strtoull(at, nullptr, 10) : 0;
}

}  // namespace

pid_t vokFindTokenHolder(dev_t device, ino_t inode) {
    const int fd = open("/proc/locks", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    // Lines are read into `line` across the reads' chunk boundaries; a line
    // too long for it (none of the kernel's is) is skipped.
    char chunk[1024];
    char line[256];
    size_t used = 0;
    bool overlong = false;
    pid_t holder = 0;
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        for (ssize_t i = 0; i < got && holder == 0; ++i) {
            if (chunk[i] != '\n') {
                if (used + 1 < sizeof line) {
                    line[used++] = chunk[i];
                } else {
                    overlong = true;
                }
                continue;
            }
            line[used] = '\0';
            if (!overlong) holder = flock_holder_of_line(line, device, inode);
            used = 0;
            overlong = false;
        }
        if (holder != 0) break;
    }
    (void)close(fd);
    return holder;
}

bool vokHolderMayWrite(pid_t process, const struct stat& node) {
    char path[32];
    (void)std::snprintf(path, sizeof path, "/proc/%d/status", process);
    char status[2048];
    if (read_small_file(path, status, sizeof status) <= 0) return false;
    // "Uid:" and "Gid:" give real, effective, saved and file-system IDs; the
    // kernel checks access with the last.
    const char* uidLine = std::strstr(status, "\nUid:");
    const char* gidLine = std::strstr(status, "\nGid:");
    const char* groupsLine = std::strstr(status, "\nGroups:");
    unsigned long long uid = 0;
    unsigned long long gid = 0;
    if (uidLine == nullptr || gidLine == nullptr ||
        std::sscanf(uidLine, "\nUid: %*u %*u %*u %llu", &uid) != 1 ||
        std::sscanf(gidLine, "\nGid: %*u %*u %*u %llu", &gid) != 1) {
        return false;
    }
    if (uid == 0 || (node.st_mode & S_IWOTH) != 0) return true;
    if (uid == node.st_uid) return (node.st_mode & S_IWUSR) != 0;
    if ((node.st_mode & S_IWGRP) == 0) return false;
    if (gid == node.st_gid) return true;
    for (const char* at = groupsLine != nullptr ? groupsLine + 8 : "";
         *at != '\0' && *at != '\n';) {
        char* end = nullptr;
        const unsigned long long group = std::strtoull(at, &end, 10);
        if (end == at) break;
        if (group == node.st_gid) return true;
        at = end;
    }
    return false;
}

uint64_t vokTaskProgress(pid_t process, pid_t thread) {
    char path[64];
    if (thread != 0) {
        (void)std::snprintf(path, sizeof path, "/proc/%d/task/%d/", process, thread);
    } else {
        (void)std::snprintf(path, sizeof path, "/proc/%d/", process);
    }
    const size_t base = std::strlen(path);
    char record[512];

    (void)std::snprintf(path + base, sizeof path - base, "stat");
    if (read_small_file(path, record, sizeof record) <= 0) return 0;
    // The command name may hold spaces and parentheses: count from the last
    // ')'. After it: state (field 3) ... utime (14), stime (15).
    const char* after = std::strrchr(record, ')');
    if (after == nullptr) return 0;
    const uint64_t cpu = field_after(after + 2, 11) + field_after(after + 2, 12);

    uint64_t scheduled = 0;
    (void)std::snprintf(path + base, sizeof path - base, "schedstat");
    if (read_small_file(path, record, sizeof record) > 0) {
        scheduled = field_after(record, 0) + field_after(record, 2);
    }
    return 1 + cpu + scheduled;  // 0 stays "unreadable"
}
