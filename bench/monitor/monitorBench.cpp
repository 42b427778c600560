// The token monitor's latency and idleness on the virtual token.
//
// Latency: a thread sleeps in poll on the descriptor; the main thread plugs
// a token in (the rename that makes its node) and notes the time; the
// thread notes when vokMonitorRead gave the arrival. The floor is the same
// wake-up through a bare inotify watch of the bus directory: what the kernel
// costs before the monitor does anything. Idle: poll on a monitor of a quiet
// tree for a few seconds and count the wake-ups (the monitor keeps no timer).
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "vok/vok.h"
#include "voksim/voksim.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 300;

struct Figures {
    double medianMicros;
    double worstMicros;
};

Figures figures(std::vector<double> micros) {
    std::sort(micros.begin(), micros.end());
    return {micros[micros.size() / 2], micros.back()};
}

// Plugs the token in and out kRounds times; `waitOne` blocks until the
// watcher under test saw the arrival and returns when it did.
template <typename Waiter>
std::vector<double> measure(const std::string& node, Waiter waitOne) {
    std::vector<double> micros;
    for (int round = 0; round < kRounds; ++round) {
        std::atomic<bool> ready{false};
        Clock::time_point seen;
        std::thread watcher([&] {
            ready = true;
            seen = waitOne();
        });
        while (!ready) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::microseconds(200));  // let it sleep in poll
        const Clock::time_point plugged = Clock::now();
        voksim::replug(node);
        watcher.join();
        micros.push_back(std::chrono::duration<double, std::micro>(seen - plugged).count());
        voksim::unplug(node);
    }
    return micros;
}

Clock::time_point nextArrival(VokMonitor* monitor) {
    VokMonitorEvent event;
    for (;;) {
        while (vokMonitorRead(monitor, &event) == 1) {
            if (event.kind == VOK_MONITOR_ARRIVED) return Clock::now();
        }
        pollfd ready = {vokMonitorFd(monitor), POLLIN, 0};
        (void)poll(&ready, 1, -1);
    }
}

Clock::time_point nextCreation(int inotifyFd) {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        pollfd ready = {inotifyFd, POLLIN, 0};
        (void)poll(&ready, 1, -1);
        const ssize_t got = read(inotifyFd, buffer, sizeof buffer);
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if ((event->mask & IN_MOVED_TO) != 0 && event->name[0] != '.') return Clock::now();
        }
    }
}

int idleWakeups(VokMonitor* monitor, int seconds) {
    VokMonitorEvent event;
    while (vokMonitorRead(monitor, &event) == 1) {
    }  // the last departure of the latency rounds
    int wakeups = 0;
    const Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        pollfd ready = {vokMonitorFd(monitor), POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(left.count()) + 1) == 1) {
            ++wakeups;
            while (vokMonitorRead(monitor, &event) == 1) {
            }
        }
    }
    return wakeups;
}

}  // namespace

int main() {
    char pattern[] = "/tmp/vok-monitorbench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    const std::string base = pattern;
    const std::string root = base + "/usb";  // its parent is private: nothing else stirs there
    const std::string node = voksim::createToken(root, 1, 2);
    voksim::unplug(node);
    setenv("USB_DEVFS_PATH", root.c_str(), 1);

    const int inotifyFd = inotify_init1(IN_CLOEXEC);
    (void)inotify_add_watch(inotifyFd, (root + "/001").c_str(), IN_MOVED_TO | IN_CREATE);
    const Figures floor = figures(measure(node, [&] { return nextCreation(inotifyFd); }));
    close(inotifyFd);

    VokMonitor* monitor = vokMonitorCreate(0);
    if (monitor == nullptr) return 1;
    const Figures event = figures(measure(node, [&] { return nextArrival(monitor); }));
    const int idleSeconds = 3;
    const int wakeups = idleWakeups(monitor, idleSeconds);
    vokMonitorClose(monitor);
    std::error_code ignored;
    std::filesystem::remove_all(base, ignored);

    std::printf("%-44s %10s %10s %8s\n", "from a node's appearance to its event", "median us",
                "worst us", "ratio");
    std::printf("%-44s %10.1f %10.1f %8s\n", "floor: bare inotify wake-up", floor.medianMicros,
                floor.worstMicros, "1.00");
    std::printf("%-44s %10.1f %10.1f %8.2f\n", "vokMonitorRead gives the arrival",
                event.medianMicros, event.worstMicros, event.medianMicros / floor.medianMicros);
    std::printf("\n%-44s %10d (floor 0, %d rounds each above)\n",
                ("wake-ups while idle for " + std::to_string(idleSeconds) + " s").c_str(), wakeups,
                kRounds);
    return wakeups == 0 ? 0 : 2;
}
