// The token monitor: arrivals and departures of tokens under usbfs, on one
// descriptor that the application polls.
//
// The descriptor is an epoll set of the monitor's own: the inotify instance
// (usbfsWatches.h), a timerfd armed only while a token waits to become
// openable, /proc/self/mountinfo (a mount over the root), and an eventfd that
// is readable while events are queued. Work is done only inside
// vokMonitorNext, on the caller's thread: events are made from the kernel's
// while the queue is empty, one kernel event at a time.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "monitor/monitorTable.h"
#include "monitor/usbfsWatches.h"

struct VokMonitor {
    pthread_mutex_t lock;  // serialises vokMonitorNext
    int epollFd;
    int timerFd;
    int wakeFd;   // eventfd: readable while the queue holds events
    int mountFd;  // /proc/self/mountinfo, -1 when it cannot be opened
    bool wakeSet;
    bool timerSet;
    UsbfsWatches watches;
    MonitorTable table;
    size_t inputLength;  // kernel events read, ...
    size_t inputAt;      // ... of which those before this are handled
    alignas(inotify_event) char input[4096];
};

// One event taken: its record, and the token's path and product.
struct MonitorEvent {
    MonitorRecord record;
    const char* path;  // valid until the next call on the monitor
    uint16_t productId;
};

// A new monitor, or null with errno set; `reportPresent`: the tokens present
// now are queued as arrivals.
VokMonitor* vokMonitorStart(bool reportPresent);
// 1 with `event` filled, 0 when no event waits, -1 with errno set.
int vokMonitorNext(VokMonitor& monitor, MonitorEvent& event);
void vokMonitorStop(VokMonitor* monitor);
