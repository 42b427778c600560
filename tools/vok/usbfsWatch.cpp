#include "usbfsWatch.h"

#include <dirent.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "failure.h"

namespace vokcli {

namespace {

// A node appears (created by the kernel, or renamed into place), goes away,
// or changes mode (udev granting access after the node was made).
constexpr uint32_t kNodeEvents = IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB;
// The root itself going away ends the wait.
constexpr uint32_t kRootEvents = kNodeEvents | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// The library skips dot names; a change to one (a virtual token's state
// file) wakes nobody.
bool hidden(const inotify_event& event) { return event.len > 0 && event.name[0] == '.'; }

int msUntil(UsbfsWatch::Clock::time_point deadline) {
    if (deadline == UsbfsWatch::Clock::time_point::max()) return -1;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - UsbfsWatch::Clock::now());
    if (left.count() <= 0) return 0;
    return left.count() > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left.count());
}

std::string errorText(int error) {
    return std::strerror(error);  // NOLINT(concurrency-mt-unsafe): one thread
}

}  // namespace

UsbfsWatch::UsbfsWatch(const std::string& root) : root_(root) {
    fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd_ < 0) {
        throw Failure{kExitFailed, "wait: cannot watch " + root + ": " + errorText(errno)};
    }
    rootWatch_ = inotify_add_watch(fd_, root.c_str(), kRootEvents);
    if (rootWatch_ < 0) {
        const int error = errno;
        close(fd_);
        fd_ = -1;
        throw Failure{kExitNoToken, "wait: cannot watch the usbfs root " + root + ": " +
                                        errorText(error) + " (run 'vok doctor')"};
    }
    DIR* dir = opendir(root.c_str());
    if (dir == nullptr) return;  // an unreadable root: only its own events reach us
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') watchBus(entry->d_name);
    }
    closedir(dir);
}

UsbfsWatch::~UsbfsWatch() {
    if (fd_ >= 0) close(fd_);
}

// Anything but a directory is refused by IN_ONLYDIR, which is what we want.
void UsbfsWatch::watchBus(const std::string& name) {
    (void)inotify_add_watch(fd_, (root_ + "/" + name).c_str(), kNodeEvents | IN_ONLYDIR);
}

bool UsbfsWatch::drainEvents() {
    bool relevant = false;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t got = read(fd_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return relevant;  // EAGAIN: the queue is empty
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->wd == rootWatch_ && (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF))) {
                throw Failure{kExitNoToken,
                              "wait: the usbfs root " + root_ + " went away (run 'vok doctor')"};
            }
            if ((event->mask & IN_Q_OVERFLOW) != 0) {
                relevant = true;  // events were lost: scan again to be sure
                continue;
            }
            if (hidden(*event)) continue;
            if (event->wd == rootWatch_ && (event->mask & IN_ISDIR) &&
                (event->mask & (IN_CREATE | IN_MOVED_TO))) {
                watchBus(event->name);
            }
            relevant = relevant || (event->mask & kNodeEvents) != 0;
        }
    }
}

bool UsbfsWatch::waitForChange(Clock::time_point deadline) {
    for (;;) {
        pollfd ready = {fd_, POLLIN, 0};
        const int n = poll(&ready, 1, msUntil(deadline));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw Failure{kExitFailed, "wait: poll: " + errorText(errno)};
        if (n == 0) return false;
        if (drainEvents()) return true;
    }
}

}  // namespace vokcli
