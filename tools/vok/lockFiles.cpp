#include "lockFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace vokcli {

LockDirectory lockDirectory() {
    if (const char* value = std::getenv("VOK_IPC_NAME")) {
        return {value, true};
    }
    return {"/tmp", false};
}

unsigned lockFileNumber(const std::string& devicePath) {
    // Each byte, taken as a signed char, weighted by its position from 1.
    uint64_t sum = 0;
    for (size_t i = 0; i < devicePath.size(); ++i) {
        // NOLINTNEXTLINE(bugprone-signed-char-misuse): the sign is part of the hash.
        int64_t byte = static_cast<signed char>(devicePath[i]);
        sum += static_cast<uint64_t>(byte) * (i + 1);
    }
    return static_cast<unsigned>(sum % kLockFileCount);
}

std::string lockFilePath(const LockDirectory& directory, unsigned number) {
    char name[16];
    (void)std::snprintf(name, sizeof name, "vok%02u.lock", number);
    std::string path = directory.path;
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    return path + name;
}

std::optional<pid_t> lockHolder(const std::string& lockPath) {
    int fd = open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    struct flock query {};
    query.l_type = F_WRLCK;
    query.l_whence = SEEK_SET;
    query.l_start = 0;
    query.l_len = 1;
    int result = fcntl(fd, F_GETLK, &query);
    close(fd);
    if (result != 0 || query.l_type == F_UNLCK) {
        return std::nullopt;
    }
    return query.l_pid;
}

}  // namespace vokcli
