// The monitor follows its usbfs root when the directory is replaced, when the
// root (a link) is pointed elsewhere, and when a file system mounted on it
// is unmounted and mounted again.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "monitor/monitorEvents.h"
#include "support/tempDir.h"
#include "voksim/voksim.h"

namespace voktest {
namespace {

// Each function gets the scratch directory; a setup returns the root to
// watch (empty: this system cannot set it up), a change whether it worked.
using Setup = std::string (*)(const std::string& scratch);
using Change = bool (*)(const std::string& scratch);

struct Step {
    Change change;
    size_t events;  // the events it makes
};

struct RootCase {
    const char* name;
    Setup setup;
    Step steps[2];
    const char* expected;  // the present tokens first, then each step's events
};

bool token(const std::string& root, unsigned device) {
    return !voksim::createToken(root, 1, device).empty();
}

std::string fullDirectory(const std::string& scratch) {
    return token(scratch + "/usb", 2) ? scratch + "/usb" : "";
}
bool replaceDirectory(const std::string& scratch) {
    return rename((scratch + "/usb").c_str(), (scratch + "/old").c_str()) == 0 &&
           token(scratch + "/usb", 3);
}

bool pointLink(const std::string& scratch, const char* target) {
    const std::string next = scratch + "/usb.next";
    return symlink((scratch + target).c_str(), next.c_str()) == 0 &&
           rename(next.c_str(), (scratch + "/usb").c_str()) == 0;
}
std::string linkToEmpty(const std::string& scratch) {
    const bool made = mkdir((scratch + "/empty").c_str(), 0755) == 0 &&
                      token(scratch + "/full", 2) && pointLink(scratch, "/empty");
    return made ? scratch + "/usb" : "";
}
bool linkToFull(const std::string& scratch) { return pointLink(scratch, "/full"); }
bool linkBackToEmpty(const std::string& scratch) { return pointLink(scratch, "/empty"); }

bool mountOnRoot(const std::string& scratch) {
    return mount("vok-test", (scratch + "/usb").c_str(), "tmpfs", 0, "size=64k") == 0;
}
std::string hiddenByMount(const std::string& scratch) {
    const bool hidden = token(scratch + "/usb", 2) && unshare(CLONE_NEWNS) == 0 &&
                        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                        mountOnRoot(scratch);
    return hidden ? scratch + "/usb" : "";
}
bool unmountRoot(const std::string& scratch) { return umount((scratch + "/usb").c_str()) == 0; }

const RootCase kRootCases[] = {
    {"directory replaced",
     fullDirectory,
     {{replaceDirectory, 2}, {nullptr, 0}},
     "arrived 001/002;left 001/002;arrived 001/003;"},
    {"link pointed elsewhere",
     linkToEmpty,
     {{linkToFull, 1}, {linkBackToEmpty, 1}},
     "arrived 001/002;left 001/002;"},
    {"unmounted and mounted again",
     hiddenByMount,
     {{unmountRoot, 1}, {mountOnRoot, 1}},
     "arrived 001/002;left 001/002;"},
};

// Runs one case in a child (whose mount namespace it may change); the events'
// texts, or "skipped" when the system cannot set the case up.
std::string runCase(const RootCase& rootCase, const std::string& scratch) {
    int report[2];
    if (pipe(report) != 0) return "no pipe";
    const pid_t child = fork();
    if (child == 0) {
        close(report[0]);
        const std::string root = rootCase.setup(scratch);
        if (root.empty()) _exit(77);
        setenv("USB_DEVFS_PATH", root.c_str(), 1);
        VokMonitor* monitor = vokMonitorCreate(VOK_MONITOR_PRESENT);
        if (monitor == nullptr) _exit(2);
        std::string texts;
        for (const VokMonitorEvent& event : drain(monitor)) texts += describe(event) + ";";
        for (const Step& step : rootCase.steps) {
            if (step.change == nullptr) break;
            if (!step.change(scratch)) _exit(3);
            for (const std::string& text : take(monitor, step.events)) texts += text + ";";
        }
        vokMonitorClose(monitor);
        _exit(write(report[1], texts.data(), texts.size()) == static_cast<ssize_t>(texts.size())
                  ? 0
                  : 4);
    }
    close(report[1]);
    std::string texts;
    char buffer[256];
    for (ssize_t got; (got = read(report[0], buffer, sizeof buffer)) > 0;)
        texts.append(buffer, static_cast<size_t>(got));
    close(report[0]);
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return "child crashed";
    if (WEXITSTATUS(status) == 77) return "skipped";
    if (WEXITSTATUS(status) != 0) return "child failed: " + std::to_string(WEXITSTATUS(status));
    return texts;
}

TEST(MonitorRoot, FollowsARootReplacedRelinkedOrRemounted) {
    for (const RootCase& rootCase : kRootCases) {
        SCOPED_TRACE(rootCase.name);
        const testsupport::TempDir scratch("vok-monitor-root-");
        const std::string texts = runCase(rootCase, scratch.path());
        if (texts == "skipped") continue;  // no mount namespace of the test's own
        EXPECT_EQ(texts, rootCase.expected);
    }
}

}  // namespace
}  // namespace voktest
