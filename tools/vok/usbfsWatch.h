// Changes under the usbfs root, through inotify: the root itself and every
// bus directory in it (a bus that appears later is watched from then on).
// No udev and no polling: the caller sleeps until the kernel reports that a
// node appeared, went away or changed its mode, then scans again.
#pragma once

#include <chrono>
#include <string>

namespace vokcli {

class UsbfsWatch {
  public:
    using Clock = std::chrono::steady_clock;

    // Watches `root`; ends the command with kExitNoToken when the root cannot
    // be watched (it does not exist or is not a directory).
    explicit UsbfsWatch(const std::string& root);
    ~UsbfsWatch();
    UsbfsWatch(const UsbfsWatch&) = delete;
    UsbfsWatch& operator=(const UsbfsWatch&) = delete;

    // Sleeps until something changed under the root (true) or `deadline`
    // passed (false); Clock::time_point::max() waits for ever. Every event
    // already queued is taken, so one burst of changes wakes the caller once.
    bool waitForChange(Clock::time_point deadline);

  private:
    void watchBus(const std::string& name);
    // Takes the queued events; true if one of them matters.
    bool drainEvents();

    std::string root_;
    int fd_ = -1;
    int rootWatch_ = -1;
};

}  // namespace vokcli
