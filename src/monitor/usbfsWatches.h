// The inotify watches of a monitor: the usbfs root, each bus directory in it,
// and the root's entry in its parent directory (for every root that the scan
// would prefer, so that a configured root that comes back is seen again).
//
// Arming makes a new inotify instance each time: the old one goes with every
// watch and queued event it had, and the caller looks at the whole tree.
#pragma once

#include <linux/limits.h>
#include <sys/inotify.h>
#include <sys/types.h>

#include <cstdint>

#include "vok/vok.h"

inline constexpr uint32_t kMonitorMostBuses = 128;
inline constexpr uint32_t kMonitorRootCandidates = 3;

struct NamedWatch {
    int wd;  // -1: unused
    char name[NAME_MAX + 1];
};

struct UsbfsWatches {
    int fd;                          // the inotify instance, -1 before the first arming
    int rootWd;                      // -1 when the root cannot be watched (gone)
    char root[VOK_TOKEN_PATH_SIZE];  // the root armed; empty when none exists
    dev_t rootDevice;
    ino_t rootInode;
    NamedWatch entries[kMonitorRootCandidates];  // parent directory, root's name in it
    NamedWatch buses[kMonitorMostBuses];
};

// Arms every watch afresh on a new instance (the old one closed); 0, or the
// errno of inotify_init1 (the watches are then left as they were).
int armWatches(UsbfsWatches& watches);
// Adds the watch of bus directory `name` of the root (a new bus).
void watchBus(UsbfsWatches& watches, const char* name);
// Closes the instance.
void closeWatches(UsbfsWatches& watches);

// Whether the root the scan takes now is another file than the one armed (a
// mount over it, a link pointed elsewhere, a root gone or come back).
bool rootChanged(const UsbfsWatches& watches);

// What one inotify event means to the monitor.
enum class WatchEvent : uint8_t {
    kNone,         // nothing that concerns a token
    kRearm,        // watches lost, root replaced, events lost: look again
    kNewBus,       // a bus directory appeared: `bus` names it
    kNodeChanged,  // a node appeared or changed mode: `bus`/`name`
    kNodeRemoved,  // a node went away: `bus`/`name`
};
struct WatchMeaning {
    WatchEvent what;
    const char* bus;
};
WatchMeaning classify(const UsbfsWatches& watches, const inotify_event& event);
