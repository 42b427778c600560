// vok wait on a virtual tree: a real vok process waits while this test plugs
// and unplugs tokens. Each wait is given far more time than it needs, so an
// exit status of 0 means it woke on the change, not on its time-out.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "toolHarness.h"

namespace voktest {
namespace {

// Runs `vok args` in the background, lets it settle into its wait, makes
// the change, and returns how the wait ended. A vok that starts late still
// sees the change through its first scan, so the outcome never depends on
// speed.
RunResult waitAcross(const VirtualTree& tree, const std::vector<std::string>& args,
                     const std::function<void()>& change) {
    auto waiting = std::async(std::launch::async, [&] { return runVok(tree, args); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    change();
    return waiting.get();
}

const std::string kLongTimeout = "600";

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

}  // namespace
}  // namespace voktest
