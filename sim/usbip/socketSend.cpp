#include "usbip/socketSend.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace voksim::usbip {

bool sendWithin(int fd, const std::vector<uint8_t>& bytes, std::chrono::milliseconds limit) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + limit;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent =
            send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            done += static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd entry{fd, POLLOUT, 0};
        if (poll(&entry, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
    }
    return true;
}

}  // namespace voksim::usbip
