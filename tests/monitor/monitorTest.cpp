// The token monitor on virtual tokens: what it reports of the tokens present
// at its start, of a node it may not open, and after the kernel's event queue
// overflowed; its descriptors and its answers to bad arguments.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "api/apiFixture.h"
#include "monitor/monitorEvents.h"
#include "support/tempDir.h"
#include "voksim/voksim.h"

namespace voktest {
namespace {

struct Start {
    uint32_t flags;
    std::vector<std::string> expected;  // the events before any change
};

class MonitorStart : public ::testing::TestWithParam<Start> {};

TEST_P(MonitorStart, ReportsThePresentTokensOnlyWhenAsked) {
    TokenTree tree;
    tree.addToken(4);
    voksim::createForeignDevice(tree.root(), 1, 3, 0x046D, 0xC077);  // a mouse
    const std::string second = voksim::createToken(tree.root(), 2, 9);
    VokMonitor* monitor = vokMonitorCreate(GetParam().flags);
    ASSERT_NE(monitor, nullptr);
    // The queued arrivals alone make the descriptor readable.
    pollfd queued = {vokMonitorFd(monitor), POLLIN, 0};
    EXPECT_EQ(poll(&queued, 1, 0), GetParam().expected.empty() ? 0 : 1);
    std::vector<std::string> texts;
    std::vector<uint32_t> indexes;
    for (const VokMonitorEvent& event : drain(monitor)) {
        texts.push_back(describe(event));
        indexes.push_back(event.token.index);
        if (event.token.deviceNumber == 9) {
            EXPECT_EQ(event.token.busNumber, 2u);
            EXPECT_EQ(event.token.productId, kVokProductId);
        }
    }
    std::sort(texts.begin(), texts.end());  // in the order of the scan, which the file system picks
    EXPECT_EQ(texts, GetParam().expected);
    if (!texts.empty()) {
        EXPECT_EQ(indexes, (std::vector<uint32_t>{0, 1}));
    }
    // The departure of a token never reported is not reported either.
    ASSERT_TRUE(voksim::unplug(second));
    const std::vector<VokMonitorEvent> after = drain(monitor);
    EXPECT_EQ(after.size(), texts.empty() ? 0u : 1u);
    pollfd ready = {vokMonitorFd(monitor), POLLIN, 0};
    EXPECT_EQ(poll(&ready, 1, 0), 0) << "readable with nothing to read";
    vokMonitorClose(monitor);
}

INSTANTIATE_TEST_SUITE_P(Flags, MonitorStart,
                         ::testing::Values(Start{0, {}},
                                           Start{VOK_MONITOR_PRESENT,
                                                 {"arrived 001/004", "arrived 002/009"}}));

// A node that this process can read but not write is refused after the delay
// with EACCES, arrives once it is made writable, and leaves. Root may open
// any file, so the watching runs in a child that gives up root.
TEST(MonitorAccess, ANodeRefusedThenGrantedArrivesOnce) {
    TokenTree tree;
    const testsupport::TempDir staging("vok-monitor-stage-");
    const std::string staged = voksim::createToken(staging.path(), 1, 5);
    const std::string node = tree.root() + "/001/005";
    ASSERT_EQ(mkdir((tree.root() + "/001").c_str(), 0777), 0);
    for (const std::string& dir :
         {tree.root(), tree.root() + "/001", staging.path(), staging.path() + "/001"})
        ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
    if (getuid() == 0) {
        ASSERT_EQ(chown(staged.c_str(), 65534, 65534), 0);  // the child's, to grant access
    }
    ASSERT_EQ(chmod(staged.c_str(), 0444), 0);
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t child = fork();
    if (child == 0) {
        if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
        VokMonitor* monitor = vokMonitorCreate(0);
        if (monitor == nullptr || rename(staged.c_str(), node.c_str()) != 0) _exit(3);
        std::string texts;
        for (const std::string& text : take(monitor, 1)) texts += text + ";";
        if (chmod(node.c_str(), 0666) != 0) _exit(4);
        for (const std::string& text : take(monitor, 1)) texts += text + ";";
        if (unlink(node.c_str()) != 0) _exit(5);
        for (const std::string& text : take(monitor, 1)) texts += text + ";";
        vokMonitorClose(monitor);
        _exit(write(report[1], texts.data(), texts.size()) == static_cast<ssize_t>(texts.size())
                  ? 0
                  : 6);
    }
    close(report[1]);
    char buffer[256] = {};
    const ssize_t got = read(report[0], buffer, sizeof buffer - 1);
    close(report[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(std::string(buffer, got > 0 ? static_cast<size_t>(got) : 0),
              "refused 001/005 13;arrived 001/005;left 001/005;");
}

unsigned queuedEventLimit() {
    unsigned limit = 16384;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
    return limit;
}

// Changes made while the kernel's queue is full are lost to inotify; the
// monitor looks at the whole tree again and reports the difference.
TEST(MonitorOverflow, ReportsTheDifferenceAfterTheQueueOverflowed) {
    TokenTree tree;
    const std::string first = tree.addToken(2);
    const std::string mice[2] = {voksim::createForeignDevice(tree.root(), 1, 7, 0x046D, 0xC077),
                                 voksim::createForeignDevice(tree.root(), 1, 8, 0x046D, 0xC077)};
    VokMonitor* monitor = vokMonitorCreate(VOK_MONITOR_PRESENT);
    ASSERT_NE(monitor, nullptr);
    ASSERT_EQ(take(monitor, 1), std::vector<std::string>{"arrived 001/002"});
    // Alternating nodes, so that the kernel merges no two events.
    for (unsigned i = 0; i <= queuedEventLimit(); ++i)
        ASSERT_EQ(chmod(mice[i % 2].c_str(), 0600 | (i % 4 < 2 ? 0 : 066)), 0);
    ASSERT_TRUE(voksim::unplug(first));
    tree.addToken(3);
    std::vector<std::string> texts;
    for (const VokMonitorEvent& event : drain(monitor)) texts.push_back(describe(event));
    EXPECT_EQ(texts, (std::vector<std::string>{"left 001/002", "arrived 001/003"}));
    vokMonitorClose(monitor);
}

bool closeOnExecAboveStderr(int fd) { return fd > 2 && (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

TEST(MonitorInterface, RefusesBadArgumentsAndKeepsItsDescriptorsAboveStderr) {
    TokenTree tree;
    EXPECT_EQ(vokMonitorCreate(2), nullptr);
    EXPECT_EQ(vokLastSystemError(), EINVAL);
    VokMonitorEvent event;
    EXPECT_EQ(vokMonitorRead(nullptr, &event), -1);
    EXPECT_EQ(vokLastSystemError(), EINVAL);
    EXPECT_EQ(vokMonitorFd(nullptr), -1);
    vokMonitorClose(nullptr);

    // With standard input closed, no descriptor of the monitor takes its place.
    const int savedStdin = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    close(STDIN_FILENO);
    VokMonitor* monitor = vokMonitorCreate(0);
    const bool stdinStaysFree = fcntl(STDIN_FILENO, F_GETFD) == -1;
    dup2(savedStdin, STDIN_FILENO);
    close(savedStdin);
    ASSERT_NE(monitor, nullptr);
    EXPECT_TRUE(stdinStaysFree);
    EXPECT_TRUE(closeOnExecAboveStderr(vokMonitorFd(monitor)));
    EXPECT_EQ(vokMonitorRead(monitor, nullptr), -1);
    vokMonitorClose(monitor);
}

}  // namespace
}  // namespace voktest
