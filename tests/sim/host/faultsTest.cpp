// Injected faults: failed, short and mistagged transfers, forced statuses,
// a fixed tag, latency and time-outs, and unplugging.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "sim/hostDriver.h"
#include "support/bytes.h"
#include "support/tempDir.h"
#include "voksim/voksim.h"

using namespace simtest;
using testsupport::bytesOf;
using testsupport::TempDir;

namespace {

class FaultsTest : public ::testing::Test {
  protected:
    TempDir tree;
    std::string node = voksim::createToken(tree.path(), 1, 2);

    void setFaults(const voksim::Faults& faults) { ASSERT_TRUE(voksim::setFaults(node, faults)); }
};

// A read of two words is 16 transfers; failing each in turn fails the
// transaction there, and the token sees nothing of the failed transfer.
TEST_F(FaultsTest, TheNthTransferFailsWithTheChosenErrno) {
    for (uint32_t n = 1; n <= 16; ++n) {
        voksim::Faults faults;
        faults.failTransfer = n;
        faults.failErrno = n % 2 ? EPIPE : ETIMEDOUT;
        setFaults(faults);
        ASSERT_TRUE(voksim::clearLog(node));
        Host host(node);
        Outcome outcome = runCommand(host, readMemory(0, 2));
        EXPECT_EQ(outcome.transportError, faults.failErrno) << n;
        const std::vector<voksim::LogEntry> log = voksim::readLog(node);
        ASSERT_EQ(log.size(), n) << "the host stops at the failure";
        EXPECT_EQ(log.back().result, -1);
        EXPECT_EQ(log.back().error, faults.failErrno);
        EXPECT_TRUE(log.back().faulted);
        // The reset exchange lets the next transaction through.
        std::vector<uint8_t> reply;
        host.in(reply, 8, outcome.tag);
        host.out(bytesOf({0xFF, 0, 0, 0, 0, 0, 0, 0}));
        host.in(reply, 8, outcome.tag);
        EXPECT_EQ(runCommand(host, readMemory(0, 2)).status, 0) << n;
    }
}

TEST_F(FaultsTest, FailAllFailsEveryTransferFromTheNthOn) {
    voksim::Faults faults;
    faults.failTransfer = 3;
    faults.failAll = true;
    faults.failErrno = ENODEV;
    setFaults(faults);
    Host host(node);
    EXPECT_EQ(runCommand(host, readMemory(0, 1)).transportError, ENODEV);
    EXPECT_EQ(runCommand(host, Command{}).transportError, ENODEV);
    ASSERT_TRUE(voksim::clearFaults(node));
    EXPECT_EQ(runCommand(host, Command{}).status, 0);
}

TEST_F(FaultsTest, SettingFaultsRestartsTheTransferCount) {
    voksim::Faults faults;
    faults.failTransfer = 2;
    setFaults(faults);
    Host host(node);
    EXPECT_EQ(runCommand(host, Command{}).transportError, EPIPE);  // transfer 2: the reply
    EXPECT_EQ(runCommand(host, Command{}).status, 0);
    setFaults(faults);
    EXPECT_EQ(runCommand(host, Command{}).transportError, EPIPE);
    EXPECT_EQ(voksim::getFaults(node)->failTransfer, 2u);
}

TEST_F(FaultsTest, AShortTransferMovesOneByteLess) {
    voksim::Faults faults;
    faults.shortTransfer = 2;
    setFaults(faults);
    Host host(node);
    ASSERT_EQ(host.out(bytesOf({0, 0x30, 0, 0, 0, 0, 0, 0})).result, 8);
    std::vector<uint8_t> reply;
    EXPECT_EQ(host.in(reply, 16, 0).result, 15);
    EXPECT_EQ(reply[15], 0xAA) << "the last byte is left unwritten";
    faults.shortTransfer = 1;
    setFaults(faults);
    EXPECT_EQ(host.out(bytesOf({0, 0x30, 0, 0, 0, 0, 0, 0})).result, 7);
    EXPECT_EQ(host.in(reply, 16, 0).result, 16) << "the token saw the whole packet";
}

TEST_F(FaultsTest, AWrongTagEchoIsInjectedIntoTheNthReply) {
    voksim::Faults faults;
    faults.fixedTag = 0x5A;
    faults.wrongTagTransfer = 11;  // the reply that ends phase 1
    setFaults(faults);
    Outcome outcome = runCommand(node, readMemory(0, 1));
    EXPECT_EQ(outcome.transportError, EBADMSG);
    const std::vector<voksim::LogEntry> log = voksim::readLog(node);
    ASSERT_EQ(log.size(), 11u);
    EXPECT_EQ(log.back().data[2], 0xA5);
    faults.wrongTagTransfer = 2;  // the phase-0 reply: the host gets a tag the token does not know
    setFaults(faults);
    outcome = runCommand(node, readMemory(0, 1));
    EXPECT_EQ(outcome.tag, 0xA5);
    EXPECT_EQ(outcome.transportError, EBADMSG) << "the token echoes its own tag";
}

TEST_F(FaultsTest, AStatusIsForcedAtTheReplyThatEndsAPhase) {
    struct Case {
        int phase;
        Command command;
    };
    Command setVendor = blockCommand(0x37, 1, "", bytesOf({1, 0}));
    const Case cases[] = {{0, readMemory(0, 1)}, {0, Command{}},
                          {1, readMemory(0, 1)}, {2, readMemory(0, 1)},
                          {3, readMemory(0, 1)}, {4, writeMemory(0, bytesOf({1, 2}))},
                          {5, setVendor},        {6, setPin(0, 2, "", "1234")}};
    for (const Case& c : cases) {
        voksim::Faults faults;
        faults.statusPhase = c.phase;
        faults.statusValue = 0x42;
        setFaults(faults);
        EXPECT_EQ(runCommand(node, c.command).status, 0x42) << c.phase;
        EXPECT_EQ(runCommand(node, c.command).status, 0x42) << "every transaction";
    }
    ASSERT_TRUE(voksim::clearFaults(node));
    EXPECT_EQ(runCommand(node, readMemory(0, 1)).data, bytesOf({0, 0, 0, 0}))
        << "a write refused by an injected status stores nothing";
    EXPECT_EQ(runCommand(node, blockCommand(0x38, 1)).data[0], 0);
    EXPECT_EQ(runCommand(node, blockCommand(0x3A, 2)).data[1], 0) << "no PIN was installed";
}

TEST_F(FaultsTest, AFailedTimeOutIsReportedAtOnceUnlessRealTimeIsAsked) {
    voksim::Faults faults;
    faults.failTransfer = 1;
    faults.failErrno = ETIMEDOUT;
    faults.realTimeouts = true;
    setFaults(faults);
    Host host(node);
    usbdevfs_ctrltransfer setup{};
    uint8_t data[8] = {0, 0x30};
    setup.bRequestType = 0x42;
    setup.wLength = 8;
    setup.timeout = 200;
    setup.data = data;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ioctl(host.fd(), USBDEVFS_CONTROL, &setup), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
}

TEST_F(FaultsTest, LatencyDelaysEveryTransfer) {
    voksim::Faults faults;
    faults.latencyMicros = 2000;
    setFaults(faults);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(runCommand(node, Command{}).status, 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(4000));
}

TEST_F(FaultsTest, InvalidFaultSettingsAreRefused) {
    voksim::Faults faults;
    faults.fixedTag = 256;
    EXPECT_FALSE(voksim::setFaults(node, faults));
    faults = voksim::Faults{};
    faults.statusPhase = 7;
    EXPECT_FALSE(voksim::setFaults(node, faults));
    faults = voksim::Faults{};
    faults.failErrno = 0;
    EXPECT_FALSE(voksim::setFaults(node, faults));
    EXPECT_FALSE(voksim::setFaults(tree.path() + "/001/099", voksim::Faults{}));
}

TEST_F(FaultsTest, AnUnpluggedTokenDisappearsAndComesBackWithItsState) {
    ASSERT_EQ(runCommand(node, writeMemory(0, bytesOf({7, 8}))).status, 0);
    Host before(node);
    ASSERT_TRUE(voksim::unplug(node));
    EXPECT_EQ(open(node.c_str(), O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(runCommand(before, Command{}).transportError, ENODEV);
    EXPECT_EQ(before.reset().error, ENODEV);
    ASSERT_TRUE(voksim::replug(node));
    EXPECT_TRUE(voksim::isTokenNode(node));
    EXPECT_EQ(runCommand(node, readMemory(0, 1)).data, bytesOf({7, 8, 0, 0}));
    EXPECT_EQ(runCommand(before, Command{}).transportError, ENODEV)
        << "a descriptor from before the unplug stays dead";
    EXPECT_TRUE(voksim::replug(node)) << "replugging a plugged token changes nothing";
}

TEST_F(FaultsTest, FaultsSetInAnotherProcessApplyHere) {
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        voksim::Faults faults;
        faults.fixedTag = 0x33;
        _exit(voksim::setFaults(node, faults) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(runCommand(node, Command{}).tag, 0x33);
}

}  // namespace
