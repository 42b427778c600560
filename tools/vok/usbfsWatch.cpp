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
// The root itself going away makes the watch look again, as does a change of
// the root's entry in its parent directory; a root that is then gone ends
// the wait.
constexpr uint32_t kRootEvents = kNodeEvents | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr uint32_t kEntryEvents = IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM;

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
    std::string path = root;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const size_t slash = path.rfind('/');
    if (path != "/") {
        parent_ = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        rootName_ = slash == std::string::npos ? path : path.substr(slash + 1);
    }
    arm(false);
}

UsbfsWatch::~UsbfsWatch() {
    if (fd_ >= 0) close(fd_);
}

void UsbfsWatch::arm(bool afterChange) {
    if (fd_ >= 0) close(fd_);  // drops every old watch with it
    fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd_ < 0) {
        throw Failure{kExitFailed, "wait: cannot watch " + root_ + ": " + errorText(errno)};
    }
    // First the root's entry, so that a change to it while the rest is set up
    // is not missed.
    parentWatch_ =
        rootName_.empty() ? -1 : inotify_add_watch(fd_, parent_.c_str(), kEntryEvents | IN_ONLYDIR);
    rootWatch_ = inotify_add_watch(fd_, root_.c_str(), kRootEvents);
    if (rootWatch_ < 0) {
        const int error = errno;
        close(fd_);
        fd_ = -1;
        throw Failure{kExitNoToken,
                      afterChange
                          ? "wait: the usbfs root " + root_ + " went away (run 'vok doctor')"
                          : "wait: cannot watch the usbfs root " + root_ + ": " + errorText(error) +
                                " (run 'vok doctor')"};
    }
    DIR* dir = opendir(root_.c_str());
    if (dir == nullptr) return;  // an unreadable root: only its own events reach us
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') watchBus(entry->d_name);
    }
    closedir(dir);
}

// Anything but a directory is refused by IN_ONLYDIR, which is what we want.
void UsbfsWatch::watchBus(const std::string& name) {
    (void)inotify_add_watch(fd_, (root_ + "/" + name).c_str(), kNodeEvents | IN_ONLYDIR);
}

bool UsbfsWatch::drainEvents() {
    bool relevant = false;
    bool rearm = false;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t got = read(fd_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;  // EAGAIN: the queue is empty
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if ((event->mask & IN_Q_OVERFLOW) != 0) {
                relevant = true;  // events were lost: scan again to be sure
                continue;
            }
            // A watch the kernel dropped (its directory removed or unmounted),
            // the root itself gone or moved, or the root's entry replaced (a
            // link pointed elsewhere): what is watched is no longer the root.
            if ((event->mask & (IN_IGNORED | IN_UNMOUNT)) != 0 ||
                (event->wd == rootWatch_ && (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF))) ||
                (event->wd == parentWatch_ && event->len > 0 && event->name == rootName_)) {
                rearm = true;
                continue;
            }
            if (event->wd == parentWatch_ || hidden(*event)) continue;
            if (event->wd == rootWatch_ && (event->mask & IN_ISDIR) &&
                (event->mask & (IN_CREATE | IN_MOVED_TO))) {
                watchBus(event->name);
            }
            relevant = relevant || (event->mask & kNodeEvents) != 0;
        }
    }
    if (!rearm) return relevant;
    arm(true);
    return true;  // whatever the root is now, it must be scanned
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
