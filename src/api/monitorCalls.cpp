// Watching tokens come and go: the public face of the token monitor
// (monitor/tokenMonitor.h).
#include <cerrno>
#include <cstring>

#include "api/tokenEntry.h"
#include "diagnostics/trace.h"
#include "monitor/tokenMonitor.h"
#include "vok/vok.h"

VokMonitor* vokMonitorCreate(uint32_t flags) {
    vokTraceBeginCall();
    if ((flags & ~VOK_MONITOR_PRESENT) != 0) {
        vokTraceSystemError("vokMonitorCreate", nullptr, EINVAL);
        return nullptr;
    }
    VokMonitor* monitor = vokMonitorStart((flags & VOK_MONITOR_PRESENT) != 0);
    if (monitor == nullptr) vokTraceSystemError("vokMonitorCreate", nullptr, errno);
    return monitor;
}

int vokMonitorFd(const VokMonitor* monitor) { return monitor != nullptr ? monitor->epollFd : -1; }

int vokMonitorRead(VokMonitor* monitor, VokMonitorEvent* event) {
    vokTraceBeginCall();
    if (monitor == nullptr || event == nullptr) {
        vokTraceSystemError("vokMonitorRead", nullptr, EINVAL);
        return -1;
    }
    MonitorEvent taken = {};
    const int result = vokMonitorNext(*monitor, taken);
    if (result < 0) {
        vokTraceSystemError("read", "inotify", errno);
        return -1;
    }
    if (result == 0) return 0;
    // The entry is filled as the listing fills it, from a record that only
    // lends the path.
    VokDevice device = {};
    device.devicePath = const_cast<char*>(taken.path);
    device.productId = taken.productId;
    device.index = taken.record.index;
    std::memset(event, 0, sizeof *event);
    event->kind = taken.record.kind;
    event->error = taken.record.error;
    vokFillTokenEntry(device, event->token);
    return 1;
}

void vokMonitorClose(VokMonitor* monitor) { vokMonitorStop(monitor); }
