// Reading a monitor in tests: events as short texts, and the pairing rule.
#pragma once

#include <poll.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "vok/vok.h"

namespace voktest {

// "arrived 001/002", "left 001/002", "refused 001/002 13": the kind, the
// node's last two path parts, the errno of a refusal.
inline std::string describe(const VokMonitorEvent& event) {
    const std::string path = event.token.path;
    const std::string tail = path.substr(path.rfind('/', path.rfind('/') - 1) + 1);
    switch (event.kind) {
        case VOK_MONITOR_ARRIVED:
            return "arrived " + tail;
        case VOK_MONITOR_LEFT:
            return "left " + tail;
        case VOK_MONITOR_REFUSED:
            return "refused " + tail + " " + std::to_string(event.error);
        default:
            return "kind " + std::to_string(event.kind);
    }
}

// Every event waiting now, until vokMonitorRead gives 0.
inline std::vector<VokMonitorEvent> drain(VokMonitor* monitor) {
    std::vector<VokMonitorEvent> events;
    VokMonitorEvent event;
    while (vokMonitorRead(monitor, &event) == 1) events.push_back(event);
    return events;
}

// Waits on the descriptor until `count` events came (or two minutes passed,
// which only a broken monitor takes); their texts.
inline std::vector<std::string> take(VokMonitor* monitor, size_t count) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    std::vector<std::string> texts;
    VokMonitorEvent event;
    while (texts.size() < count && std::chrono::steady_clock::now() < giveUp) {
        if (vokMonitorRead(monitor, &event) == 1) {
            texts.push_back(describe(event));
            continue;
        }
        pollfd ready = {vokMonitorFd(monitor), POLLIN, 0};
        if (poll(&ready, 1, 1000) < 0) break;
    }
    return texts;
}

// The first breach of the pairing rule (per node: arrived, left, arrived...;
// each event once; nothing left open at the end), or empty.
inline std::string pairingFault(const std::vector<VokMonitorEvent>& events, bool closed) {
    std::map<std::string, bool> present;
    for (const VokMonitorEvent& event : events) {
        bool& here = present[event.token.path];
        const bool arrival = event.kind == VOK_MONITOR_ARRIVED;
        if (arrival == here) return describe(event) + " out of turn";
        here = arrival;
    }
    for (const auto& [path, here] : present) {
        if (closed && here) return path + " never left";
    }
    return {};
}

}  // namespace voktest
