// Changes under the usbfs root, through inotify: the root itself, every bus
// directory in it (a bus that appears later is watched from then on), and
// the root's own entry in its parent directory (a root that is a symbolic
// link pointed elsewhere, or a directory put in its place). No udev and no
// polling: the caller sleeps until the kernel reports that a node appeared,
// went away or changed its mode, then scans again.
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
    // Sets up every watch afresh, on a new inotify instance; `afterChange`
    // names the failure for a root that went away rather than a bad root.
    void arm(bool afterChange);
    void watchBus(const std::string& name);
    // Takes the queued events; true if one of them matters. Re-arms when a
    // watch is gone (the kernel says so with IN_IGNORED, IN_UNMOUNT) or the
    // root's own entry changed.
    bool drainEvents();

    std::string root_;
    std::string parent_;    // the directory that holds the root's entry ...
    std::string rootName_;  // ... under this name; empty for "/"
    int fd_ = -1;
    int rootWatch_ = -1;
    int parentWatch_ = -1;
};

}  // namespace vokcli
