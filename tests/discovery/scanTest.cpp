// The usbfs scan, the probe and device file access, over fake usbfs trees
// whose device nodes are plain files holding a USB device descriptor.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "discovery/linuxUsb.h"
#include "discovery/testSupport.h"
#include "lock/mutexInternal.h"

namespace {

using voktest::addNode;
using voktest::ScopedEnv;
using voktest::tokenDescriptor;

struct Found {
    std::string path;
    std::string mutexName;
    uint16_t productId;
    uint32_t index;
};

std::vector<Found> scan() {
    std::vector<Found> found;
    VokDeviceList* list = vokCreateDeviceList();
    for (VokDevice* d = vokGetFirstDevice(list); d != nullptr; d = vokGetNextDevice(list)) {
        found.push_back({d->devicePath, d->mutexName, d->productId, d->index});
    }
    vokFreeDeviceList(list);
    return found;
}

std::vector<std::string> paths(const std::vector<Found>& found) {
    std::vector<std::string> result;
    for (const Found& f : found) {
        result.push_back(f.path);
    }
    return result;
}

class ScanTest : public voktest::FakeUsbTest {};

TEST(VendorTableTest, BothRowsCarryThisLibrarysPair) {
    EXPECT_STREQ(vokVendorIds[0].hardwareId, "USB\\VID_F055&PID_0401&REV_0100");
    EXPECT_STREQ(vokVendorIds[1].hardwareId, "USB\\VID_F055&PID_0401&REV_0200");
    for (const VokUsbId& row : vokVendorIds) {
        EXPECT_EQ(strlen(row.hardwareId), 30U);
        EXPECT_EQ(row.idVendor, 0xF055);
        EXPECT_EQ(row.idProduct, 0x0401);
    }
    EXPECT_EQ(vokVendorIds[0].bcdDevice, 0x0100);
    EXPECT_EQ(vokVendorIds[1].bcdDevice, 0x0200);
}

TEST_F(ScanTest, OnlyAcceptedDevicesAreListedAndNumberedInScanOrder) {
    // Accepted: any revision of the token. Rejected: foreign vendor, foreign
    // product, a short descriptor, an empty node.
    addNode(usb.path(), "001", "001", tokenDescriptor(0x0100));
    addNode(usb.path(), "001", "002", voktest::deviceDescriptor(0x1D6B, 0x0002, 0x0601));
    addNode(usb.path(), "001", "003", tokenDescriptor(0x0300));
    addNode(usb.path(), "001", "004", voktest::deviceDescriptor(0xF055, 0x0402, 0x0100));
    addNode(usb.path(), "001", "005", voktest::deviceDescriptor(0xF056, 0x0401, 0x0100));
    std::vector<uint8_t> shortNode = tokenDescriptor();
    shortNode.resize(15);
    addNode(usb.path(), "002", "001", shortNode);
    addNode(usb.path(), "002", "002", {});
    addNode(usb.path(), "002", "003", tokenDescriptor(0x0200));

    std::vector<std::string> expected;
    for (const std::string& bus : voktest::scanOrder(usb.path())) {
        for (const std::string& dev : voktest::scanOrder(usb / bus)) {
            const std::string path = usb / (bus + "/" + dev);
            if (path == usb / "001/001" || path == usb / "001/003" || path == usb / "002/003") {
                expected.push_back(path);
            }
        }
    }

    const std::vector<Found> found = scan();
    EXPECT_EQ(paths(found), expected);
    for (uint32_t i = 0; i < found.size(); ++i) {
        EXPECT_EQ(found[i].index, i);
        EXPECT_EQ(found[i].productId, 0x0401);
        EXPECT_EQ(found[i].mutexName, found[i].path);
    }
}

TEST_F(ScanTest, HiddenEntriesAndNonDirectoriesAreSkipped) {
    addNode(usb.path(), ".001", "001", tokenDescriptor());  // hidden bus
    addNode(usb.path(), "002", ".001", tokenDescriptor());  // hidden node
    addNode(usb.path(), "002", "002", tokenDescriptor());
    voktest::writeFile(usb / "003", tokenDescriptor());  // a file where a bus would be

    const std::vector<Found> found = scan();
    ASSERT_EQ(found.size(), 1U);
    EXPECT_EQ(found[0].path, usb / "002/002");
    EXPECT_EQ(found[0].index, 0U);
}

TEST_F(ScanTest, NodesThatCannotBeOpenedReadWriteAreSkipped) {
    voktest::makeDirs(usb / "001/001");  // a directory in a node's place
    ASSERT_EQ(symlink((usb / "missing").c_str(), (usb / "001/002").c_str()), 0);
    addNode(usb.path(), "001", "003", tokenDescriptor());

    const std::vector<Found> found = scan();
    ASSERT_EQ(found.size(), 1U);
    EXPECT_EQ(found[0].path, usb / "001/003");
    EXPECT_EQ(found[0].index, 0U);
}

// A FIFO or a terminal under a chosen root is never read (the read would
// block for ever); the scan runs in a child with an alarm so a hang fails.
TEST_F(ScanTest, NodesThatAreNeitherUsbNodesNorFilesAreNotRead) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    voktest::makeDirs(usb / "001");
    ASSERT_EQ(mkfifo((usb / "001/001").c_str(), 0666), 0);
    ASSERT_EQ(symlink("/dev/null", (usb / "001/002").c_str()), 0);  // a character device
    addNode(usb.path(), "001", "003", tokenDescriptor());

    EXPECT_EXIT(
        {
            alarm(60);  // a hang, not a slow machine
            const std::vector<Found> found = scan();
            std::exit(found.size() == 1 && found[0].path == usb / "001/003" ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// A node the user may read but not write is not listed. Root may write any
// file, so the scan runs in a child that has given up root.
TEST_F(ScanTest, ReadOnlyNodeIsNotListed) {
    addNode(usb.path(), "001", "001", tokenDescriptor());
    addNode(usb.path(), "001", "002", tokenDescriptor());
    ASSERT_EQ(chmod((usb / "001/001").c_str(), 0444), 0);
    ASSERT_EQ(chmod((usb / "001/002").c_str(), 0666), 0);
    ASSERT_EQ(chmod(usb.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(ipc.path().c_str(), 0777), 0);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(100);
        }
        const std::vector<Found> found = scan();
        const bool ok = found.size() == 1 && found[0].path == usb / "001/002";
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(ScanTest, TrailingSlashInRootIsKeptInPathAndLockName) {
    addNode(usb.path(), "001", "002", tokenDescriptor());
    ScopedEnv slash("USB_DEVFS_PATH", usb.path() + "/");

    const std::vector<Found> found = scan();
    ASSERT_EQ(found.size(), 1U);
    const std::string expected = usb.path() + "//001/002";
    EXPECT_EQ(found[0].path, expected);
    EXPECT_EQ(found[0].mutexName, expected);

    // The probe locked by that text: its lock file exists and names us.
    char lockName[] = "vok00.lock";
    const size_t number = lock_num_hash(expected.c_str());
    lockName[3] = static_cast<char>('0' + number / 10);
    lockName[4] = static_cast<char>('0' + number % 10);
    const std::vector<uint8_t> content = voktest::readFile(ipc / lockName);
    ASSERT_EQ(content.size(), 8U);
    int64_t pid = 0;
    memcpy(&pid, content.data(), sizeof(pid));
    EXPECT_EQ(pid, getpid());
}

TEST_F(ScanTest, RootThatIsAPlainFileGivesEmptyList) {
    voktest::writeFile(usb / "plain", tokenDescriptor());
    ScopedEnv plain("USB_DEVFS_PATH", usb / "plain");
    EXPECT_TRUE(scan().empty());
}

TEST_F(ScanTest, ProbeWorksWithoutALockDirectory) {
    addNode(usb.path(), "001", "002", tokenDescriptor());
    ScopedEnv missing("VOK_IPC_NAME", ipc / "missing");
    const uint64_t before = vokMutexPoolCount();

    EXPECT_EQ(scan().size(), 1U);

    EXPECT_EQ(vokMutexPoolCount(), before);
    pthread_mutex_t* slot = vokMutexPoolSlot(hash_str((usb / "001/002").c_str(), 11));
    ASSERT_EQ(pthread_mutex_trylock(slot), 0);
    pthread_mutex_unlock(slot);
}

TEST_F(ScanTest, ProbeWorksWhenTheLockFileIsASymlink) {
    const std::string node = addNode(usb.path(), "001", "002", tokenDescriptor());
    char lockName[] = "vok00.lock";
    const size_t number = lock_num_hash(node.c_str());
    lockName[3] = static_cast<char>('0' + number / 10);
    lockName[4] = static_cast<char>('0' + number % 10);
    ASSERT_EQ(symlink((ipc / "target").c_str(), (ipc / lockName).c_str()), 0);

    EXPECT_EQ(scan().size(), 1U);
    EXPECT_NE(access((ipc / "target").c_str(), F_OK), 0);  // not created through the link
}

TEST_F(ScanTest, ScanLeavesNoDescriptorOpen) {
    addNode(usb.path(), "001", "001", tokenDescriptor());
    addNode(usb.path(), "001", "002", voktest::deviceDescriptor(0x1234, 0x5678, 0x0100));
    addNode(usb.path(), "002", "001", {1, 2, 3});
    const size_t before = voktest::openDescriptorCount();
    EXPECT_EQ(scan().size(), 1U);
    EXPECT_EQ(voktest::openDescriptorCount(), before);
}

TEST_F(ScanTest, LongestPathsThatFitAreScanned) {
    // A bus path of 4095 characters, and a node path of 4095 characters.
    const std::string busRoot = voktest::makeDirOfLength(usb.path(), 4095 - 201);
    voktest::makeDirs(busRoot + "/" + std::string(200, 'b'));
    const std::string nodeRoot = voktest::makeDirOfLength(usb / "n", 4095 - 4 - 201);
    const std::string node = addNode(nodeRoot, "bus", std::string(200, 'v'), tokenDescriptor());
    ASSERT_EQ(node.size(), 4095U);

    {
        ScopedEnv root("USB_DEVFS_PATH", busRoot);
        EXPECT_TRUE(scan().empty());
    }
    ScopedEnv root("USB_DEVFS_PATH", nodeRoot);
    const std::vector<Found> found = scan();
    ASSERT_EQ(found.size(), 1U);
    EXPECT_EQ(found[0].path, node);
}

TEST_F(ScanTest, OpenAndCloseDevice) {
    const std::string node = addNode(usb.path(), "001", "002", tokenDescriptor());
    VokDevice* device = vokCreateDevice(0x0401, 0, node.c_str(), node.c_str());

    const int fd = vokOpenDevice(device);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(device->fd, fd);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDWR);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);  // no leak into exec'd programs

    EXPECT_EQ(vokCloseDevice(device), 0);
    EXPECT_EQ(device->fd, fd);  // the closed number stays
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    vokFreeDevice(device);
}

TEST_F(ScanTest, FailedOpenKeepsTheOldDescriptor) {
    voktest::makeDirs(usb / "001/002");
    const std::string node = usb / "001/002";
    VokDevice* device = vokCreateDevice(0x0401, 0, node.c_str(), node.c_str());
    device->fd = 1234;
    EXPECT_LT(vokOpenDevice(device), 0);
    EXPECT_EQ(device->fd, 1234);
    vokFreeDevice(device);
}

// The usbfs roots under /dev and /proc, each made in a child process that has
// a private mount namespace with tmpfs mounted over /dev and /proc/bus.
enum class Fallback { DevBusUsb, ProcBusUsb, None };

std::string runInPrivateMounts(Fallback tree, const char* usbDevfsPath, const std::string& ipc) {
    int channel[2];
    if (pipe(channel) != 0) {
        return "pipe failed";
    }
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("vok-test", "/dev", "tmpfs", 0, nullptr) != 0 ||
            mount("vok-test", "/proc/bus", "tmpfs", 0, nullptr) != 0) {
            _exit(1);
        }
        if (tree == Fallback::DevBusUsb) {
            addNode("/dev/bus/usb", "001", "002", tokenDescriptor());
            addNode("/proc/bus/usb", "001", "003", tokenDescriptor());
        } else if (tree == Fallback::ProcBusUsb) {
            addNode("/proc/bus/usb", "001", "003", tokenDescriptor());
        }
        if (usbDevfsPath != nullptr) {
            setenv("USB_DEVFS_PATH", usbDevfsPath, 1);
        } else {
            unsetenv("USB_DEVFS_PATH");
        }
        setenv("VOK_IPC_NAME", ipc.c_str(), 1);
        std::string result;
        for (const Found& f : scan()) {
            result += f.path + ";";
        }
        const bool sent =
            write(channel[1], result.data(), result.size()) == static_cast<ssize_t>(result.size());
        _exit(sent ? 0 : 1);
    }
    close(channel[1]);
    std::string result;
    char buffer[256];
    for (ssize_t got; (got = read(channel[0], buffer, sizeof(buffer))) > 0;) {
        result.append(buffer, static_cast<size_t>(got));
    }
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? result : "child failed";
}

TEST_F(ScanTest, RootFallsBackToDevThenProc) {
    if (!voktest::canMountPrivately()) {
        GTEST_SKIP() << "cannot make a private mount namespace here";
    }
    const std::string missing = usb / "missing";
    EXPECT_EQ(runInPrivateMounts(Fallback::DevBusUsb, nullptr, ipc.path()),
              "/dev/bus/usb/001/002;");
    EXPECT_EQ(runInPrivateMounts(Fallback::DevBusUsb, missing.c_str(), ipc.path()),
              "/dev/bus/usb/001/002;");
    EXPECT_EQ(runInPrivateMounts(Fallback::ProcBusUsb, missing.c_str(), ipc.path()),
              "/proc/bus/usb/001/003;");
    EXPECT_EQ(runInPrivateMounts(Fallback::None, nullptr, ipc.path()), "");
    // An existing plain file is the root: no fall-back, nothing listed.
    voktest::writeFile(usb / "plain", {});
    EXPECT_EQ(runInPrivateMounts(Fallback::DevBusUsb, (usb / "plain").c_str(), ipc.path()), "");
}

class ScanDeathTest : public ScanTest {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ScanDeathTest, RootOf4096CharactersEndsTheProcess) {
    ScopedEnv root("USB_DEVFS_PATH", std::string(4096, 'r'));
    EXPECT_DEATH(scan(),
                 "linuxUsb.cpp:[0-9]+: void enumVendorDevices\\(VokListEntry ?\\*\\): "
                 "Assertion `sizeof\\(dev_path\\) > dev_path_len' failed");
}

TEST_F(ScanTest, RootOf4095CharactersIsTriedAndFallsBack) {
    ScopedEnv root("USB_DEVFS_PATH", std::string(4095, 'r'));
    EXPECT_TRUE(scan().empty());
}

TEST_F(ScanDeathTest, JoinedPathsThatDoNotFitEndTheProcess) {
    // A bus name one character too long for the path buffer.
    const std::string busRoot = voktest::makeDirOfLength(usb / "b", 3895);
    const int busRootFd = open(busRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(busRootFd, 0);
    ASSERT_EQ(mkdirat(busRootFd, std::string(200, 'b').c_str(), 0755), 0);
    close(busRootFd);
    {
        ScopedEnv root("USB_DEVFS_PATH", busRoot);
        EXPECT_DEATH(scan(),
                     "Assertion `sizeof\\(dev_path\\) >= dev_path_len \\+ 1 \\+ "
                     "name_bus_len \\+ 1' failed");
    }

    // A device name one character too long.
    const std::string nodeRoot = voktest::makeDirOfLength(usb / "n", 4095 - 4 - 201);
    voktest::makeDirs(nodeRoot + "/bus");
    const int busFd = open((nodeRoot + "/bus").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(busFd, 0);
    const int node =
        openat(busFd, std::string(201, 'v').c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(node, 0);
    close(node);
    close(busFd);
    ScopedEnv root("USB_DEVFS_PATH", nodeRoot);
    EXPECT_DEATH(scan(),
                 "void enumVendorDevices\\(VokListEntry ?\\*\\): Assertion `sizeof\\(dev_path\\) "
                 ">= dev_path_len \\+ 1 \\+ name_dev_len \\+ 1' failed");
}

TEST_F(ScanDeathTest, DeviceFileMisuseEndsTheProcess) {
    EXPECT_DEATH(vokEnumerateUsbDevices(nullptr), "Assertion `deviceList' failed");
    EXPECT_DEATH(vokOpenDevice(nullptr), "Assertion `device' failed");
    EXPECT_DEATH(vokCloseDevice(nullptr), "Assertion `device' failed");

    VokDevice noPath = {};
    EXPECT_DEATH(vokOpenDevice(&noPath),
                 "int open_device\\(const char ?\\*\\): Assertion `dev_path' failed");
    VokDevice closed = {};
    closed.fd = -1;
    EXPECT_DEATH(vokCloseDevice(&closed), "close_device\\(int\\): Assertion `fd >= 0' failed");
    closed.fd = 1000;  // not open: close fails
    EXPECT_DEATH(vokCloseDevice(&closed), "close_device\\(int\\): Assertion `ret == 0' failed");
}

TEST(ScanNoListTest, NullListHeadScansNothing) {
    enumVendorDevices(nullptr);  // returns at once
    SUCCEED();
}

}  // namespace
