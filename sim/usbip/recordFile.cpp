#include "usbip/recordFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "host/errorText.h"

namespace voksim::usbip {

int openRecordFile(const std::string& path, std::string& error) {
    // O_NONBLOCK: a FIFO without a reader fails the open instead of blocking it.
    const int fd = open(path.c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot record to " + path + ": " + errnoText(errno);
        return -1;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        error = "cannot record to " + path + ": not a regular file";
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace voksim::usbip
