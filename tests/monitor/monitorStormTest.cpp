// Plug and unplug storms on two virtual tokens, watched by three monitors at
// once, each read by its own thread: none may lose, double or unpair an
// event.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "api/apiFixture.h"
#include "monitor/monitorEvents.h"
#include "voksim/voksim.h"

namespace voktest {
namespace {

constexpr int kMonitors = 3;

// One monitor and the thread that reads it until told to stop, then drains.
class Watcher {
  public:
    Watcher(int stopFd, std::mutex& mutex, std::condition_variable& changed)
        : monitor_(vokMonitorCreate(0)), mutex_(mutex), changed_(changed) {
        thread_ = std::thread([this, stopFd] { run(stopFd); });
    }
    ~Watcher() {
        if (thread_.joinable()) thread_.join();
        vokMonitorClose(monitor_);
    }
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;
    void join() { thread_.join(); }
    size_t arrivals() const { return arrivals_.load(); }
    const std::vector<VokMonitorEvent>& events() const { return events_; }

  private:
    void keep(const std::vector<VokMonitorEvent>& taken) {
        for (const VokMonitorEvent& event : taken) {
            events_.push_back(event);
            if (event.kind == VOK_MONITOR_ARRIVED) ++arrivals_;
        }
        std::lock_guard<std::mutex> hold(mutex_);
        changed_.notify_all();
    }
    void run(int stopFd) {
        for (;;) {
            keep(drain(monitor_));
            pollfd ready[2] = {{vokMonitorFd(monitor_), POLLIN, 0}, {stopFd, POLLIN, 0}};
            if (poll(ready, 2, -1) < 0 || ready[1].revents != 0) break;
        }
        keep(drain(monitor_));  // every change was made before the stop
    }

    VokMonitor* monitor_;
    std::mutex& mutex_;
    std::condition_variable& changed_;
    std::vector<VokMonitorEvent> events_;
    std::atomic<size_t> arrivals_{0};
    std::thread thread_;
};

struct Storm {
    const char* name;
    int cycles;
    bool awaitArrivals;  // each cycle waits until every monitor saw both arrivals
};

class MonitorStorm : public ::testing::TestWithParam<Storm> {};

TEST_P(MonitorStorm, EveryMonitorPairsEveryInstance) {
    const Storm& storm = GetParam();
    TokenTree tree;
    const std::string nodes[2] = {tree.addToken(2), tree.addToken(3)};
    for (const std::string& node : nodes) ASSERT_TRUE(voksim::unplug(node));
    const int stopFd = eventfd(0, EFD_CLOEXEC);
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::unique_ptr<Watcher>> watchers;
    for (int i = 0; i < kMonitors; ++i)
        watchers.push_back(std::make_unique<Watcher>(stopFd, mutex, changed));

    for (int cycle = 1; cycle <= storm.cycles; ++cycle) {
        for (const std::string& node : nodes) ASSERT_TRUE(voksim::replug(node));
        if (storm.awaitArrivals) {
            std::unique_lock<std::mutex> hold(mutex);
            // Two minutes: only a monitor that lost an arrival takes them.
            const bool seen = changed.wait_for(hold, std::chrono::minutes(2), [&] {
                for (const auto& watcher : watchers)
                    if (watcher->arrivals() < 2u * static_cast<size_t>(cycle)) return false;
                return true;
            });
            if (!seen) {
                ADD_FAILURE() << "an arrival of cycle " << cycle << " never came";
                break;
            }
        }
        for (const std::string& node : nodes) ASSERT_TRUE(voksim::unplug(node));
    }
    const uint64_t stop = 1;
    ASSERT_EQ(write(stopFd, &stop, sizeof stop), 8);
    for (auto& watcher : watchers) watcher->join();
    close(stopFd);

    for (const auto& watcher : watchers) {
        EXPECT_EQ(pairingFault(watcher->events(), true), "");
        if (storm.awaitArrivals) {
            EXPECT_EQ(watcher->events().size(), 4u * static_cast<size_t>(storm.cycles));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Storms, MonitorStorm,
                         ::testing::Values(Storm{"each_arrival_awaited", 300, true},
                                           Storm{"free_running", 500, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace voktest
