#include "lockFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "lockFileName.h"

namespace vokcli {

LockDirectory lockDirectory() {
    if (const char* value = secure_getenv("VOK_IPC_NAME")) {  // as the library reads it
        return {value, true};
    }
    return {"/tmp", false};
}

std::string lockFilePath(const LockDirectory& directory, const std::string& devicePath) {
    const VokLockFileName name = vokLockFileName(vokLockFileNumber(devicePath));
    std::string path = directory.path;
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    return path + name.data();
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
