// The interposer leaves every descriptor but a virtual token node alone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "sim/hostDriver.h"
#include "support/tempDir.h"
#include "voksim/voksim.h"

using namespace simtest;
using testsupport::TempDir;

namespace {

int controlOn(int fd) {
    uint8_t data[8] = {0, 0x30};
    usbdevfs_ctrltransfer setup{};
    setup.bRequestType = 0x42;
    setup.wLength = 8;
    setup.data = data;
    return ioctl(fd, USBDEVFS_CONTROL, &setup);
}

TEST(InterposerTest, OtherRequestsOnOtherDescriptorsReachTheRealIoctl) {
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    ASSERT_EQ(write(pipeEnds[1], "hello", 5), 5);
    int available = 0;
    EXPECT_EQ(ioctl(pipeEnds[0], FIONREAD, &available), 0);
    EXPECT_EQ(available, 5);
    EXPECT_EQ(controlOn(pipeEnds[0]), -1);
    EXPECT_EQ(errno, ENOTTY) << "a pipe is not a usbfs node";
    close(pipeEnds[0]);
    close(pipeEnds[1]);
}

TEST(InterposerTest, RegularFilesThatAreNotTokenNodesGoToTheRealIoctl) {
    TempDir tree;
    const std::string plain = tree.path() + "/plain";
    FILE* file = std::fopen(plain.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("not a device", file);
    std::fclose(file);
    const int fd = open(plain.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    termios settings{};
    EXPECT_EQ(ioctl(fd, TCGETS, &settings), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(controlOn(fd), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(ioctl(fd, USBDEVFS_RESET, 0), -1);
    EXPECT_EQ(errno, ENOTTY);
    close(fd);

    const std::string foreign = voksim::createForeignDevice(tree.path(), 1, 3, 0x1234, 0x5678);
    ASSERT_FALSE(foreign.empty());
    EXPECT_FALSE(voksim::isTokenNode(foreign));
    const int foreignFd = open(foreign.c_str(), O_RDWR);
    EXPECT_EQ(controlOn(foreignFd), -1);
    EXPECT_EQ(errno, ENOTTY);
    close(foreignFd);
}

TEST(InterposerTest, OtherRequestsOnATokenNodeGoToTheRealIoctl) {
    TempDir tree;
    const std::string node = voksim::createToken(tree.path(), 1, 2);
    Host host(node);
    int available = -1;
    EXPECT_EQ(ioctl(host.fd(), FIONREAD, &available), 0) << "a regular file answers FIONREAD";
    EXPECT_EQ(available, 32);
    EXPECT_TRUE(voksim::readLog(node).empty());
}

TEST(InterposerTest, ANodeWithoutAUsableStateIsAnAbsentDevice) {
    TempDir tree;
    const std::string node = voksim::createToken(tree.path(), 1, 2);
    Host host(node);
    ASSERT_EQ(unlink(voksim::statePathOf(node).c_str()), 0);
    const std::string copy = tree.path() + "/001/003";
    std::rename(node.c_str(), copy.c_str());
    Host moved(copy);
    EXPECT_EQ(controlOn(moved.fd()), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_FALSE(voksim::readState(copy));
}

TEST(InterposerTest, NodesAreLaidOutLikeUsbfs) {
    TempDir tree;
    const std::string node = voksim::createToken(tree.path(), 3, 17);
    EXPECT_EQ(node, tree.path() + "/003/017");
    EXPECT_EQ(voksim::statePathOf(node), tree.path() + "/003/.017.state");
    EXPECT_EQ(voksim::logPathOf(node), tree.path() + "/003/.017.log");
    const int fd = open(node.c_str(), O_RDONLY);
    uint8_t descriptor[18];
    ASSERT_EQ(read(fd, descriptor, sizeof descriptor), 18);
    close(fd);
    EXPECT_EQ(descriptor[0], 18);
    EXPECT_EQ(descriptor[1], 1);
    EXPECT_EQ(descriptor[8] | descriptor[9] << 8, 0xF055);
    EXPECT_EQ(descriptor[10] | descriptor[11] << 8, 0x0401);
    EXPECT_EQ(descriptor[12] | descriptor[13] << 8, 0x0100);
    EXPECT_TRUE(voksim::createToken(tree.path(), 1000, 1).empty());
}

}  // namespace
