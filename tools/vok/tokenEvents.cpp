#include "tokenEvents.h"

#include <poll.h>

#include <cerrno>
#include <cstring>

#include "failure.h"
#include "usbScan.h"

namespace vokcli {

namespace {

int msUntil(Clock::time_point deadline) {
    if (deadline == Clock::time_point::max()) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return 0;
    return left.count() > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left.count());
}

std::string errorText(int error) {
    return std::strerror(error);  // NOLINT(concurrency-mt-unsafe): one thread
}

}  // namespace

vok::Monitor openMonitor(const std::string& command, bool reportPresent) {
    if (findUsbfsRoot().source == RootSource::kNone) {
        throw Failure{kExitNoToken, command +
                                        ": no usbfs root: neither /dev/bus/usb nor /proc/bus/usb "
                                        "exists (run 'vok doctor')"};
    }
    vok::Monitor monitor = vok::Monitor::create(std::nothrow, reportPresent);
    if (!monitor) {
        const int error = vok::lastSystemError();
        throw Failure{
            error == ENOENT || error == ENOTDIR ? kExitNoToken : kExitFailed,
            command + ": cannot watch the usbfs root: " + errorText(error) + " (run 'vok doctor')"};
    }
    return monitor;
}

bool nextTokenEvent(const vok::Monitor& monitor, Clock::time_point deadline,
                    vok::MonitorEvent& event) {
    for (;;) {
        const int got = monitor.next(std::nothrow, event);
        if (got == 1) return true;
        if (got < 0) {
            throw Failure{kExitFailed,
                          "cannot read the usbfs events: " + errorText(vok::lastSystemError())};
        }
        pollfd ready = {monitor.fd(), POLLIN, 0};
        const int n = poll(&ready, 1, msUntil(deadline));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw Failure{kExitFailed, "poll: " + errorText(errno)};
        if (n == 0) return false;
    }
}

Clock::time_point deadlineAfter(bool given, unsigned seconds) {
    return given ? Clock::now() + std::chrono::seconds(seconds) : Clock::time_point::max();
}

}  // namespace vokcli
