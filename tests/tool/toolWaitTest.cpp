// vok wait and vok monitor on a virtual tree: a real vok process waits while this test plugs
// and unplugs tokens. Each wait is given far more time than it needs, so an
// exit status of 0 means it woke on the change, not on its time-out.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <thread>

#include "toolHarness.h"

namespace voktest {
namespace {

const std::string kLongTimeout = "600";

// Whether process `pid` sleeps with an inotify descriptor open.
bool sleepsOnInotify(const std::string& pid) {
    std::error_code error;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + pid + "/fd", error)) {
        if (std::filesystem::read_symlink(fd.path(), error) != "anon_inode:inotify") continue;
        std::ifstream stat("/proc/" + pid + "/stat");
        const std::string text((std::istreambuf_iterator<char>(stat)), {});
        const size_t paren = text.rfind(')');
        return paren != std::string::npos && text.compare(paren, 3, ") S") == 0;
    }
    return false;
}

// Waits (up to a minute) until a child of this process sleeps on inotify:
// the vok that it started has settled into its wait.
void awaitSettledChild() {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    const std::string parent = std::to_string(getpid());
    while (std::chrono::steady_clock::now() < giveUp) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
            const std::string pid = entry.path().filename();
            if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
            std::ifstream stat(entry.path() / "stat");
            const std::string text((std::istreambuf_iterator<char>(stat)), {});
            const size_t paren = text.rfind(')');
            if (paren == std::string::npos) continue;
            std::istringstream fields(text.substr(paren + 2));
            std::string state, ppid;
            fields >> state >> ppid;
            if (ppid == parent && sleepsOnInotify(pid)) return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "no vok settled into its wait in a minute";
}

// Runs `vok args` in the background, waits until it has settled into its
// wait, makes the change, and returns how the wait ended.
RunResult waitAcross(const VirtualTree& tree, const std::vector<std::string>& args,
                     const std::function<void()>& change) {
    auto waiting = std::async(std::launch::async, [&] { return runVok(tree, args); });
    awaitSettledChild();
    change();
    return waiting.get();
}

TEST(VokWait, WakesWhenATokenIsPluggedInOrRemoved) {
    VirtualTree tree;
    RunResult plugged = waitAcross(tree, {"wait", "--timeout", kLongTimeout},
                                   [&] { tree.addToken(3, 7); });  // a new bus directory too
    EXPECT_EQ(plugged.exitCode, 0) << plugged.err;

    const std::string node = tree.tokens.front();
    RunResult gone = waitAcross(tree, {"wait", "--gone", "--timeout", kLongTimeout, "0"},
                                [&] { ASSERT_TRUE(voksim::unplug(node)); });
    EXPECT_EQ(gone.exitCode, 0) << gone.err;

    RunResult back = waitAcross(tree, {"wait", "--timeout", kLongTimeout},
                                [&] { ASSERT_TRUE(voksim::replug(node)); });
    EXPECT_EQ(back.exitCode, 0) << back.err;
    EXPECT_EQ(back.out + back.err, "");
}

// A root that shows no token, then one that shows the tree's token, changed
// in a way that leaves the watches on something that is no longer the root.
struct RootChange {
    const char* name;
    // Sets up a root that shows no token; its path, or empty when this
    // system cannot (it allows no mount namespace of the test's own).
    std::string (*hide)(const std::string& scratch, const std::string& tree);
    bool (*show)(const std::string& scratch, const std::string& tree);
};

// The root is a symbolic link, pointed from an empty directory to the tree.
std::string linkToEmpty(const std::string& scratch, const std::string&) {
    const std::string empty = scratch + "/empty", root = scratch + "/usb";
    return mkdir(empty.c_str(), 0755) == 0 && symlink(empty.c_str(), root.c_str()) == 0 ? root : "";
}
bool linkToTree(const std::string& scratch, const std::string& tree) {
    const std::string next = scratch + "/usb.next";
    return symlink(tree.c_str(), next.c_str()) == 0 &&
           rename(next.c_str(), (scratch + "/usb").c_str()) == 0;
}

// The root is the tree, hidden by an empty file system mounted on it, which
// is then unmounted.
std::string mountOnTree(const std::string&, const std::string& tree) {
    const bool mounted = unshare(CLONE_NEWNS) == 0 &&
                         mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                         mount("vok-test", tree.c_str(), "tmpfs", 0, "size=64k") == 0;
    return mounted ? tree : "";
}
bool unmountTree(const std::string&, const std::string& tree) { return umount(tree.c_str()) == 0; }

const RootChange kRootChanges[] = {
    {"root link pointed elsewhere", linkToEmpty, linkToTree},
    {"root unmounted", mountOnTree, unmountTree},
};

TEST(VokWait, FollowsTheRootWhenItsLinkIsPointedElsewhereOrItIsUnmounted) {
    for (const RootChange& change : kRootChanges) {
        SCOPED_TRACE(change.name);
        VirtualTree tree;
        tree.addToken(1, 2);
        const TempDir scratch;
        // In a child process, whose mount namespace the test may change.
        const pid_t child = fork();
        if (child == 0) {
            const std::string root = change.hide(scratch.path(), tree.root.path());
            if (root.empty()) _exit(77);
            Environment env = treeEnvironment(tree);
            env["USB_DEVFS_PATH"] = root;
            auto waiting = std::async(std::launch::async, [&] {
                return runVokIn(env, {"wait", "--timeout", kLongTimeout});
            });
            awaitSettledChild();
            if (!change.show(scratch.path(), tree.root.path())) _exit(78);
            _exit(waiting.get().exitCode);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 77) continue;  // no mount namespace here
        EXPECT_EQ(WEXITSTATUS(status), 0) << "4: the wait timed out on a root it no longer saw";
    }
}

TEST(VokWait, TimeOutAndMissingRootHaveTheirOwnExitStatus) {
    VirtualTree tree;
    RunResult absent = runVok(tree, {"wait", "--timeout", "0", "1"});
    EXPECT_EQ(absent.exitCode, 4);
    EXPECT_EQ(absent.err, "vok: wait: the token at index 1 did not appear after 0 s\n");
    tree.addToken(1, 2);
    RunResult present = runVok(tree, {"wait", "--gone", "--timeout", "0"});
    EXPECT_EQ(present.exitCode, 4);

    if (access("/dev/bus/usb", F_OK) == 0 || access("/proc/bus/usb", F_OK) == 0) {
        GTEST_SKIP() << "this machine has a usbfs root to fall back on";
    }
    Environment env = treeEnvironment(tree);
    env["USB_DEVFS_PATH"] = tree.root.path() + "/none";
    RunResult missing = runVokIn(env, {"wait"});
    EXPECT_EQ(missing.exitCode, 3);
    EXPECT_NE(missing.err.find("run 'vok doctor'"), std::string::npos) << missing.err;
}

// vok monitor prints one JSON object a line: the present token first, then
// the departure and arrival made while it runs; it ends after --count events,
// or with status 4 when the time runs out first.
TEST(VokMonitor, PrintsEventsAsJsonLinesAndEndsAfterTheCountOrTheTime) {
    VirtualTree tree;
    const std::string node = tree.addToken(1, 2);
    voksim::createForeignDevice(tree.root.path(), 1, 3, 0x046D, 0xC077);
    RunResult run = waitAcross(
        tree, {"monitor", "--json", "--present", "--count", "3", "--timeout", kLongTimeout}, [&] {
            ASSERT_TRUE(voksim::unplug(node));
            ASSERT_TRUE(voksim::replug(node));
        });
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string fields = "\"path\":\"" + node + "\",\"bus\":1,\"device\":2,\"product\":1025";
    EXPECT_EQ(run.out, "{\"event\":\"arrived\"," + fields + ",\"index\":0}\n" +
                           "{\"event\":\"left\"," + fields + "}\n" + "{\"event\":\"arrived\"," +
                           fields + ",\"index\":0}\n");

    RunResult quiet = runVok(tree, {"monitor", "--timeout", "0"});
    EXPECT_EQ(quiet.exitCode, 4);
    EXPECT_EQ(quiet.out, "");
}

}  // namespace
}  // namespace voktest
