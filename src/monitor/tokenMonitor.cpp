// The token monitor (monitor/tokenMonitor.h).
#include "monitor/tokenMonitor.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/openAboveStdio.h"
#include "common/vokAssert.h"
#include "monitor/nodeProbe.h"

namespace {

constexpr int64_t kNanosPerMilli = 1000000;
constexpr int64_t kNanosPerSecond = 1000000000;

int64_t nowNanos() {
    timespec ts = {};
    (void)clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNanosPerSecond + ts.tv_nsec;
}

bool addToSet(int epollFd, int fd, uint32_t events) {
    epoll_event event = {};
    event.events = events;
    event.data.fd = fd;
    return epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) == 0;
}

// ---- indexes -------------------------------------------------------------

struct IndexSearch {
    const MonitorTable* table;
    const char* path;
    uint32_t before;  // arrived tokens met before `path`
    bool found;
};

bool countArrived(const char* path, void* context) {
    auto& search = *static_cast<IndexSearch*>(context);
    if (std::strcmp(path, search.path) == 0) {
        search.found = true;
        return false;
    }
    const uint32_t slot = findLiveSlot(*search.table, path);
    if (slot != kMonitorNoSlot && slotOpenable(search.table->slots[slot])) ++search.before;
    return true;
}

// vokOpen's index of the token at `path`: the openable tokens before it in
// the scan's order.
uint32_t indexOf(const VokMonitor& monitor, const char* path) {
    IndexSearch search = {&monitor.table, path, 0, false};
    (void)walkNodes(monitor.watches.root, nullptr, countArrived, &search);
    return search.found ? search.before : VOK_MONITOR_NO_INDEX;
}

// ---- what happens to one node --------------------------------------------

void arrive(VokMonitor& monitor, uint32_t slot) {
    MonitorTable& table = monitor.table;
    table.slots[slot].openable = true;
    queueRecord(table, VOK_MONITOR_ARRIVED, slot, 0, indexOf(monitor, table.slots[slot].path));
}

// A node not followed yet: a token (arrived, or pending while it cannot be
// opened), or nothing. `report` false: present at the start, not reported.
void meetNode(VokMonitor& monitor, const char* path, const NodeProbe& probe, bool report) {
    if (probe.kind != NodeKind::kToken && probe.kind != NodeKind::kRefused) return;
    const uint32_t slot = takeSlot(monitor.table, path);
    if (slot == kMonitorNoSlot) return;
    MonitorSlot& entry = monitor.table.slots[slot];
    entry.productId = probe.productId;
    entry.device = probe.device;
    entry.inode = probe.inode;
    entry.openable = probe.kind == NodeKind::kToken;
    if (!report) {
        entry.state = SlotState::kSilent;
    } else if (probe.kind == NodeKind::kToken) {
        arrive(monitor, slot);
    } else {
        entry.state = SlotState::kPending;
        entry.deadlineNanos = nowNanos() + VOK_MONITOR_REFUSAL_DELAY_MS * kNanosPerMilli;
    }
}

// A node appeared or changed mode: a new instance, or one followed already
// that may have become openable.
void nodeChanged(VokMonitor& monitor, const char* path) {
    const NodeProbe probe = probeNode(path);
    const uint32_t slot = findLiveSlot(monitor.table, path);
    if (slot != kMonitorNoSlot) {
        MonitorSlot& entry = monitor.table.slots[slot];
        const bool same = probe.kind != NodeKind::kGone && probe.device == entry.device &&
                          probe.inode == entry.inode;
        if (same) {
            if (slotWaiting(entry) && probe.kind == NodeKind::kToken) arrive(monitor, slot);
            return;
        }
        slotGone(monitor.table, slot);  // another file took its place
    }
    meetNode(monitor, path, probe, true);
}

void nodeRemoved(VokMonitor& monitor, const char* path) {
    const uint32_t slot = findLiveSlot(monitor.table, path);
    if (slot != kMonitorNoSlot) slotGone(monitor.table, slot);
}

struct Visit {
    VokMonitor* monitor;
    bool report;
};

bool visitNew(const char* path, void* context) {
    const auto& visit = *static_cast<Visit*>(context);
    VokMonitor& monitor = *visit.monitor;
    const uint32_t slot = findLiveSlot(monitor.table, path);
    if (slot == kMonitorNoSlot) {
        meetNode(monitor, path, probeNode(path), visit.report);
    } else if (slotWaiting(monitor.table.slots[slot])) {
        nodeChanged(monitor, path);  // it may have become openable meanwhile
    }
    return true;
}

bool underRoot(const UsbfsWatches& watches, const char* path) {
    const size_t length = std::strlen(watches.root);
    return length > 0 && std::strncmp(path, watches.root, length) == 0 && path[length] == '/';
}

// Every live token whose node is gone or is another file now departs; every
// token not followed yet is met. Departures come first.
void lookAgain(VokMonitor& monitor, bool report) {
    for (uint32_t i = 0; i < kMonitorSlots; ++i) {
        MonitorSlot& slot = monitor.table.slots[i];
        if (!slotLive(slot)) continue;
        struct stat st = {};
        const bool same = underRoot(monitor.watches, slot.path) && stat(slot.path, &st) == 0 &&
                          st.st_dev == slot.device && st.st_ino == slot.inode;
        if (!same) slotGone(monitor.table, i);
    }
    Visit visit = {&monitor, report};
    if (monitor.watches.rootWd >= 0)
        (void)walkNodes(monitor.watches.root, nullptr, visitNew, &visit);
}

// ---- the kernel's events -------------------------------------------------

// Arms the watches on a new inotify instance in place of the old one, then
// looks at the whole tree. 0, or an errno.
int rearm(VokMonitor& monitor) {
    // On failure the old instance stays, in the set; on success it is closed,
    // which takes it out of the set.
    if (const int error = armWatches(monitor.watches); error != 0) return error;
    monitor.inputLength = 0;
    monitor.inputAt = 0;
    if (!addToSet(monitor.epollFd, monitor.watches.fd, EPOLLIN)) return errno;
    lookAgain(monitor, true);
    return 0;
}

void newBus(VokMonitor& monitor, const char* name) {
    watchBus(monitor.watches, name);
    Visit visit = {&monitor, true};
    (void)walkNodes(monitor.watches.root, name, visitNew, &visit);
}

// Handles one kernel event; 0 or an errno.
int handle(VokMonitor& monitor, const inotify_event& event) {
    const WatchMeaning meaning = classify(monitor.watches, event);
    if (meaning.what == WatchEvent::kNone) return 0;
    if (meaning.what == WatchEvent::kRearm) return rearm(monitor);
    if (meaning.what == WatchEvent::kNewBus) {
        newBus(monitor, event.name);
        return 0;
    }
    char path[VOK_TOKEN_PATH_SIZE];
    const int length =
        std::snprintf(path, sizeof path, "%s/%s/%s", monitor.watches.root, meaning.bus, event.name);
    if (length < 0 || static_cast<size_t>(length) >= sizeof path) return 0;
    if (meaning.what == WatchEvent::kNodeRemoved) {
        nodeRemoved(monitor, path);
    } else {
        nodeChanged(monitor, path);
    }
    return 0;
}

// The next kernel event, read into the monitor's buffer as needed; null when
// none is queued (errno 0) or the read failed (errno set).
const inotify_event* nextKernelEvent(VokMonitor& monitor) {
    errno = 0;
    if (monitor.inputAt >= monitor.inputLength) {
        ssize_t got = -1;
        do {
            got = read(monitor.watches.fd, monitor.input, sizeof monitor.input);
        } while (got < 0 && errno == EINTR);
        monitor.inputAt = 0;
        monitor.inputLength = got > 0 ? static_cast<size_t>(got) : 0;
        if (got <= 0) {
            if (errno == EAGAIN) errno = 0;
            return nullptr;
        }
    }
    const auto* event = reinterpret_cast<const inotify_event*>(monitor.input + monitor.inputAt);
    monitor.inputAt += sizeof(inotify_event) + event->len;
    return event;
}

// ---- the timer and the wake-up -------------------------------------------

// Tokens that waited out the delay: reported refused, or arrived if they
// became openable meanwhile.
void expireWaits(VokMonitor& monitor) {
    const int64_t now = nowNanos();
    for (uint32_t i = 0; i < kMonitorSlots; ++i) {
        MonitorSlot& slot = monitor.table.slots[i];
        if (slot.state != SlotState::kPending || slot.deadlineNanos > now) continue;
        const NodeProbe probe = probeNode(slot.path);
        const bool same = probe.device == slot.device && probe.inode == slot.inode;
        if (same && probe.kind == NodeKind::kToken) {
            arrive(monitor, i);
        } else if (same && probe.kind == NodeKind::kRefused) {
            queueRecord(monitor.table, VOK_MONITOR_REFUSED, i, probe.error, VOK_MONITOR_NO_INDEX);
        } else {
            slotGone(monitor.table, i);  // gone, replaced or unreadable: met again on its event
        }
    }
}

void setTimer(VokMonitor& monitor) {
    int64_t earliest = 0;
    for (const MonitorSlot& slot : monitor.table.slots) {
        if (slot.state != SlotState::kPending) continue;
        if (earliest == 0 || slot.deadlineNanos < earliest) earliest = slot.deadlineNanos;
    }
    if (earliest == 0 && !monitor.timerSet) return;
    itimerspec when = {};
    when.it_value.tv_sec = earliest / kNanosPerSecond;
    when.it_value.tv_nsec = earliest % kNanosPerSecond;
    if (earliest != 0 && when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0) {
        when.it_value.tv_nsec = 1;
    }
    (void)timerfd_settime(monitor.timerFd, TFD_TIMER_ABSTIME, &when, nullptr);
    monitor.timerSet = earliest != 0;
}

void setWake(VokMonitor& monitor) {
    const bool wanted = monitor.table.count > 0;
    if (wanted == monitor.wakeSet) return;
    uint64_t value = 1;
    const ssize_t done = wanted ? write(monitor.wakeFd, &value, sizeof value)
                                : read(monitor.wakeFd, &value, sizeof value);
    if (done == static_cast<ssize_t>(sizeof value)) monitor.wakeSet = wanted;
}

void drainTimer(VokMonitor& monitor) {
    uint64_t expirations = 0;
    (void)!read(monitor.timerFd, &expirations, sizeof expirations);
}

void closeIfOpen(int fd) {
    if (fd >= 0) (void)close(fd);
}

// Makes events until one is queued or the kernel has none left; 0 or errno.
int makeEvents(VokMonitor& monitor) {
    if (monitor.table.count == 0 && rootChanged(monitor.watches)) {
        if (const int error = rearm(monitor); error != 0) return error;
    }
    drainTimer(monitor);
    if (monitor.table.count == 0) expireWaits(monitor);
    while (monitor.table.count == 0) {
        const inotify_event* event = nextKernelEvent(monitor);
        if (event == nullptr) return errno;
        if (const int error = handle(monitor, *event); error != 0) return error;
    }
    return 0;
}

// Puts the descriptors in the set and arms the first watches; 0 or an errno.
int setUp(VokMonitor& monitor) {
    if (monitor.epollFd < 0 || monitor.timerFd < 0 || monitor.wakeFd < 0) return errno;
    const bool added =
        addToSet(monitor.epollFd, monitor.timerFd, EPOLLIN) &&
        addToSet(monitor.epollFd, monitor.wakeFd, EPOLLIN) &&
        (monitor.mountFd < 0 || addToSet(monitor.epollFd, monitor.mountFd, EPOLLPRI));
    if (!added) return errno;
    if (const int error = armWatches(monitor.watches); error != 0) return error;
    if (monitor.watches.root[0] == '\0') return ENOENT;
    if (monitor.watches.rootWd < 0) return errno;  // of inotify_add_watch on the root
    return addToSet(monitor.epollFd, monitor.watches.fd, EPOLLIN) ? 0 : errno;
}

}  // namespace

VokMonitor* vokMonitorStart(bool reportPresent) {
    // Zeroed pages from the system: only those that are used get touched.
    auto* monitor = static_cast<VokMonitor*>(std::calloc(1, sizeof(VokMonitor)));
    if (monitor == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    (void)pthread_mutex_init(&monitor->lock, nullptr);
    monitor->watches.fd = -1;
    monitor->mountFd = vokOpenAboveStdio("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    monitor->epollFd = vokMoveAboveStdio(epoll_create1(EPOLL_CLOEXEC));
    monitor->timerFd =
        vokMoveAboveStdio(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    monitor->wakeFd = vokMoveAboveStdio(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    const int error = setUp(*monitor);
    if (error != 0) {
        vokMonitorStop(monitor);
        errno = error;
        return nullptr;
    }
    Visit visit = {monitor, reportPresent};
    (void)walkNodes(monitor->watches.root, nullptr, visitNew, &visit);
    setTimer(*monitor);
    setWake(*monitor);
    return monitor;
}

int vokMonitorNext(VokMonitor& monitor, MonitorEvent& event) {
    const int locked = pthread_mutex_lock(&monitor.lock);
    VOK_ASSERT(locked == 0);
    const int error = makeEvents(monitor);
    setTimer(monitor);
    int result = 0;
    if (takeRecord(monitor.table, event.record)) {
        const MonitorSlot& slot = monitor.table.slots[event.record.slot];
        event.path = slot.path;
        event.productId = slot.productId;
        result = 1;
    } else if (error != 0) {
        result = -1;
    }
    setWake(monitor);
    const int unlocked = pthread_mutex_unlock(&monitor.lock);
    VOK_ASSERT(unlocked == 0);
    if (result < 0) errno = error;
    return result;
}

void vokMonitorStop(VokMonitor* monitor) {
    if (monitor == nullptr) return;
    closeWatches(monitor->watches);
    closeIfOpen(monitor->epollFd);
    closeIfOpen(monitor->timerFd);
    closeIfOpen(monitor->wakeFd);
    closeIfOpen(monitor->mountFd);
    (void)pthread_mutex_destroy(&monitor->lock);
    std::free(monitor);
}
