// vok doctor on trees that are fine and trees that are not.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "toolHarness.h"

namespace voktest {
namespace {

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(VokDoctor, AllWell) {
    VirtualTree tree;
    std::string node = tree.addToken(1, 2);
    RunResult r = runVok(tree, {"doctor"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(has(r.out, "ok:      usbfs root " + tree.root.path() + " (from USB_DEVFS_PATH)"))
        << r.out;
    EXPECT_TRUE(has(r.out, "ok:      " + node + " (index 0) answers: token ID 564f4b0000000001"))
        << r.out;
    EXPECT_TRUE(has(r.out, "no problems found")) << r.out;
}

TEST(VokDoctor, NoTokenAmongTheDevices) {
    VirtualTree tree;
    voksim::createForeignDevice(tree.root.path(), 1, 2, 0x1d6b, 0x0002);
    RunResult r = runVok(tree, {"doctor"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(has(r.out, "problem: no token attached: none of the 1 device node(s) under " +
                               tree.root.path() + " has the USB ID f055:0401"))
        << r.out;
}

// The node is readable but not writable for the user who runs vok: as root,
// vok runs as nobody on a node that only root may write.
TEST(VokDoctor, TokenNodeNotWritableGivesTheUdevRule) {
    VirtualTree tree;
    std::string node = tree.addToken(1, 2);
    uid_t user = static_cast<uid_t>(-1);
    if (geteuid() == 0) {
        user = 65534;
        ASSERT_EQ(chmod(tree.root.path().c_str(), 0755), 0);
        ASSERT_EQ(chmod((tree.root.path() + "/001").c_str(), 0755), 0);
        ASSERT_EQ(chmod(tree.locks.path().c_str(), 0777), 0);
        ASSERT_EQ(chmod(node.c_str(), 0644), 0);
    } else {
        ASSERT_EQ(chmod(node.c_str(), 0444), 0);
    }
    Environment env = treeEnvironment(tree);
    RunResult r = runVokIn(env, {"doctor"}, "", user);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_TRUE(has(r.out, "problem: " + node +
                               " is a token, but this user cannot open it for reading and writing "
                               "(Permission denied; mode 0"))
        << r.out;
    EXPECT_TRUE(has(r.out,
                    "ATTR{idVendor}==\"f055\", ATTR{idProduct}==\"0401\", MODE=\"0660\", "
                    "TAG+=\"uaccess\""))
        << r.out;
    RunResult list = runVokIn(env, {"list"}, "", user);
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_EQ(list.out, "");
    EXPECT_TRUE(has(list.err, "1 token node(s) cannot be opened")) << list.err;
}

// While another process holds the lock file that a probe needs, every scan
// waits; doctor names the holder and does not wait itself.
TEST(VokDoctor, HeldLockFileIsNamedWithItsHolder) {
    VirtualTree tree;
    tree.addToken(1, 2);
    std::vector<int> held;
    for (int n = 0; n < 97; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "/vok%02d.lock", n);
        int fd = open((tree.locks.path() + name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        ASSERT_GE(fd, 0);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        lock.l_len = 1;
        ASSERT_EQ(fcntl(fd, F_SETLK, &lock), 0);
        held.push_back(fd);
    }
    RunResult r = runVok(tree, {"doctor"});
    for (int fd : held) close(fd);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(has(r.out, "is held by process " + std::to_string(getpid()))) << r.out;
    EXPECT_TRUE(has(r.out, "were not asked for their information")) << r.out;
    // One node, so one lock file matters.
    size_t first = r.out.find("is held by");
    EXPECT_EQ(r.out.find("is held by", first + 1), std::string::npos) << r.out;
}

// Nodes the library would not read (a FIFO; as root, a character device of
// another kind) are not opened by doctor either: inotify sees no open.
TEST(VokDoctor, OpensNoNodeThatTheLibraryWouldNotRead) {
    VirtualTree tree;
    tree.addToken(1, 2);
    const std::string bus = tree.root.path() + "/001";
    std::vector<std::string> odd = {bus + "/010"};
    ASSERT_EQ(mkfifo(odd[0].c_str(), 0666), 0);
    if (geteuid() == 0) {
        odd.push_back(bus + "/011");
        ASSERT_EQ(mknod(odd[1].c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);  // as /dev/null
    }
    const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ASSERT_GE(inotify_add_watch(watch, bus.c_str(), IN_OPEN), 0);
    RunResult r = runVok(tree, {"doctor"});
    alignas(inotify_event) char events[4096];
    std::string opened;
    for (ssize_t got = read(watch, events, sizeof events), at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        if (event->len > 0) opened += std::string(event->name) + " ";
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    close(watch);
    for (const std::string& node : odd) {
        EXPECT_EQ(opened.find(node.substr(bus.size() + 1)), std::string::npos) << opened;
        EXPECT_TRUE(has(r.out, "warning: " + node + " is neither a usbfs device node nor a file"))
            << r.out;
    }
    EXPECT_NE(opened.find("002"), std::string::npos) << "the token is opened: " << opened;
}

TEST(VokDoctor, MissingLockDirectoryIsOnlyAWarning) {
    VirtualTree tree;
    tree.addToken(1, 2);
    std::string missing = tree.locks.path() + "/missing";
    RunResult r = runVok(tree, {"doctor"}, "", {{"VOK_IPC_NAME", missing}});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(has(r.out, "warning: lock directory " + missing +
                               " (from VOK_IPC_NAME) does not "
                               "exist"))
        << r.out;
}

TEST(VokDoctor, UsbDevfsPathThatDoesNotExist) {
    VirtualTree tree;
    std::string missing = tree.root.path() + "/missing";
    RunResult r = runVok(tree, {"doctor"}, "", {{"USB_DEVFS_PATH", missing}});
    EXPECT_TRUE(has(r.out, "warning: USB_DEVFS_PATH is set to " + missing +
                               ", which does not "
                               "exist"))
        << r.out;
}

TEST(VokDoctor, UsbDevfsPathThatIsAFile) {
    VirtualTree tree;
    std::string file = tree.root.path() + "/plain";
    close(open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    RunResult r = runVok(tree, {"doctor"}, "", {{"USB_DEVFS_PATH", file}});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(has(r.out, "problem: the usbfs root " + file + " is not a directory")) << r.out;
}

// Past the 256th token each one is asked by its path, not taken for the
// token whose index is its own modulo 256.
TEST(VokDoctor, EveryOneOf258TokensAnswersWithItsOwnId) {
    VirtualTree tree;
    for (unsigned n = 0; n < 258; ++n) {
        voksim::Identity identity;
        identity.tokenId[6] = static_cast<uint8_t>(n >> 8);
        identity.tokenId[7] = static_cast<uint8_t>(n);
        tree.addToken(1 + n / 100, 1 + n % 100, identity);
    }
    RunResult r = runVok(tree, {"doctor"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    std::set<std::string> ids;
    const std::string mark = "answers: token ID ";
    for (size_t at = r.out.find(mark); at != std::string::npos; at = r.out.find(mark, at + 1))
        ids.insert(r.out.substr(at + mark.size(), 16));
    EXPECT_EQ(ids.size(), 258u) << r.out.substr(r.out.size() - 600);
}

}  // namespace
}  // namespace voktest
