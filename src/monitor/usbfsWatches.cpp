// The inotify watches of a monitor (monitor/usbfsWatches.h).
#include "monitor/usbfsWatches.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/openAboveStdio.h"
#include "discovery/linuxUsb.h"
#include "monitor/nodeProbe.h"

namespace {

// A node appears (made, or renamed into place), goes away, or changes mode
// (udev granting access after the node was made).
constexpr uint32_t kNodeEvents = IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB;
constexpr uint32_t kSelfEvents = IN_DELETE_SELF | IN_MOVE_SELF;
constexpr uint32_t kBusEvents = kNodeEvents | kSelfEvents | IN_ONLYDIR;
constexpr uint32_t kRootEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | kSelfEvents | IN_ONLYDIR;
constexpr uint32_t kEntryEvents = IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ONLYDIR;

const char* const kFallbackRoots[] = {"/dev/bus/usb", "/proc/bus/usb"};

void setName(NamedWatch& watch, int wd, const char* name) {
    // Callers pass names of at most NAME_MAX characters; a longer one is cut.
    const size_t length = std::min(std::strlen(name), sizeof watch.name - 1);
    std::memcpy(watch.name, name, length);
    watch.name[length] = '\0';
    watch.wd = wd;
}

// Watches the directory holding `candidate` for changes of its entry.
void watchEntry(UsbfsWatches& watches, NamedWatch& entry, const char* candidate) {
    char parent[VOK_TOKEN_PATH_SIZE];
    size_t length = std::strlen(candidate);
    if (length == 0 || length >= sizeof parent) return;
    std::memcpy(parent, candidate, length + 1);
    while (length > 1 && parent[length - 1] == '/') parent[--length] = '\0';
    char* slash = std::strrchr(parent, '/');
    if (slash == nullptr || slash[1] == '\0' || std::strlen(slash + 1) > NAME_MAX) return;
    char name[NAME_MAX + 1];
    std::memcpy(name, slash + 1, std::strlen(slash + 1) + 1);  // at most NAME_MAX, checked
    if (slash == parent) {
        slash[1] = '\0';  // the parent is "/"
    } else {
        *slash = '\0';
    }
    const int wd = inotify_add_watch(watches.fd, parent, kEntryEvents);
    if (wd >= 0) setName(entry, wd, name);
}

void watchEntries(UsbfsWatches& watches) {
    const char* configured = secure_getenv("USB_DEVFS_PATH");  // NOLINT(concurrency-mt-unsafe)
    const char* candidates[kMonitorRootCandidates] = {configured, kFallbackRoots[0],
                                                      kFallbackRoots[1]};
    for (uint32_t i = 0; i < kMonitorRootCandidates; ++i) {
        if (candidates[i] == nullptr) continue;
        watchEntry(watches, watches.entries[i], candidates[i]);
        if (watches.root[0] != '\0' && std::strcmp(candidates[i], watches.root) == 0) break;
    }
}

bool addBus(const char* path, void* context) {
    auto& watches = *static_cast<UsbfsWatches*>(context);
    watchBus(watches, std::strrchr(path, '/') + 1);
    return true;
}

bool sameFile(const struct stat& st, const UsbfsWatches& watches) {
    return st.st_dev == watches.rootDevice && st.st_ino == watches.rootInode;
}

}  // namespace

int armWatches(UsbfsWatches& watches) {
    const int fd = vokMoveAboveStdio(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (fd < 0) return errno;
    closeWatches(watches);
    watches.fd = fd;
    watches.rootWd = -1;
    watches.rootDevice = 0;
    watches.rootInode = 0;
    for (NamedWatch& entry : watches.entries) entry.wd = -1;
    for (NamedWatch& bus : watches.buses) bus.wd = -1;
    if (!vokChooseUsbfsRoot(watches.root, sizeof watches.root)) watches.root[0] = '\0';
    // The entries first, so that a root replaced while the rest is armed is
    // seen; then the root, then its buses.
    watchEntries(watches);
    if (watches.root[0] == '\0') return 0;
    struct stat st = {};
    if (stat(watches.root, &st) == 0) {
        watches.rootDevice = st.st_dev;
        watches.rootInode = st.st_ino;
    }
    watches.rootWd = inotify_add_watch(fd, watches.root, kRootEvents);
    if (watches.rootWd < 0) return 0;
    (void)walkBuses(watches.root, addBus, &watches);
    return 0;
}

void watchBus(UsbfsWatches& watches, const char* name) {
    if (name[0] == '.' || std::strlen(name) > NAME_MAX) return;
    char path[VOK_TOKEN_PATH_SIZE];
    const size_t rootLength = std::strlen(watches.root);
    const size_t nameLength = std::strlen(name);
    if (rootLength + 1 + nameLength >= sizeof path) return;
    std::memcpy(path, watches.root, rootLength);
    path[rootLength] = '/';
    std::memcpy(path + rootLength + 1, name, nameLength + 1);
    const int wd = inotify_add_watch(watches.fd, path, kBusEvents);
    if (wd < 0) return;  // not a directory, or gone already
    NamedWatch* unused = nullptr;
    for (NamedWatch& bus : watches.buses) {
        if (bus.wd == wd) return;  // watched already
        if (bus.wd < 0 && unused == nullptr) unused = &bus;
    }
    if (unused != nullptr) setName(*unused, wd, name);
}

void closeWatches(UsbfsWatches& watches) {
    if (watches.fd >= 0) (void)close(watches.fd);
    watches.fd = -1;
}

bool rootChanged(const UsbfsWatches& watches) {
    char now[VOK_TOKEN_PATH_SIZE];
    if (!vokChooseUsbfsRoot(now, sizeof now)) return watches.root[0] != '\0';
    if (std::strcmp(now, watches.root) != 0) return true;
    struct stat st = {};
    return stat(now, &st) != 0 || !sameFile(st, watches);
}

WatchMeaning classify(const UsbfsWatches& watches, const inotify_event& event) {
    const WatchMeaning none = {WatchEvent::kNone, nullptr};
    const WatchMeaning rearm = {WatchEvent::kRearm, nullptr};
    // Events were lost, or a watch is gone (its directory removed or
    // unmounted): what is watched may no longer be the tree.
    if ((event.mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_UNMOUNT | kSelfEvents)) != 0) {
        return rearm;
    }
    const bool named = event.len > 0 && event.name[0] != '\0';
    for (const NamedWatch& entry : watches.entries) {
        if (entry.wd == event.wd && named && std::strcmp(entry.name, event.name) == 0) {
            return rearm;
        }
    }
    if (!named || event.name[0] == '.') return none;
    if (event.wd == watches.rootWd) {
        if ((event.mask & IN_ISDIR) == 0) return none;
        if ((event.mask & (IN_CREATE | IN_MOVED_TO)) != 0) return {WatchEvent::kNewBus, nullptr};
        return rearm;  // a bus directory removed or moved away
    }
    for (const NamedWatch& bus : watches.buses) {
        if (bus.wd != event.wd) continue;
        if ((event.mask & (IN_DELETE | IN_MOVED_FROM)) != 0) {
            return {WatchEvent::kNodeRemoved, bus.name};
        }
        return {WatchEvent::kNodeChanged, bus.name};
    }
    return none;
}
