// vok on a pseudo-terminal: PIN prompts without echo, the progress bar.
#include <gtest/gtest.h>
#include <termios.h>

#include "toolHarness.h"
#include "voksim/tokenModel.h"

namespace voktest {
namespace {

TEST(VokTerminal, NewPinIsAskedForTwiceWithoutEcho) {
    VirtualTree tree;
    std::string node = tree.addToken(1, 2);
    PtySession session(tree, {"pin", "set", "-b", "2"});
    ASSERT_TRUE(session.expect("New PIN: ")) << session.transcript();
    session.send("8642\n");
    ASSERT_TRUE(session.expect("Repeat the new PIN: ")) << session.transcript();
    session.send("8642\n");
    EXPECT_EQ(session.finish(), 0) << session.transcript();
    EXPECT_NE(session.transcript().find("user PIN of block 2 set"), std::string::npos);
    EXPECT_EQ(session.transcript().find("8642"), std::string::npos) << session.transcript();

    std::optional<voksim::TokenState> state = voksim::readState(node);
    ASSERT_TRUE(state);
    const voksim::PinSlot& pin = state->blocks[1].pins[voksim::kPinKindUser];
    EXPECT_EQ(std::string(pin.value, pin.value + pin.length), "8642");
}

TEST(VokTerminal, DifferingNewPinEntriesAreRefused) {
    VirtualTree tree;
    std::string node = tree.addToken(1, 2);
    PtySession session(tree, {"pin", "set", "-b", "2"});
    ASSERT_TRUE(session.expect("New PIN: "));
    session.send("8642\n");
    ASSERT_TRUE(session.expect("Repeat the new PIN: "));
    session.send("8643\n");
    EXPECT_EQ(session.finish(), 2);
    EXPECT_NE(session.transcript().find("vok: the two entries of the new PIN differ"),
              std::string::npos)
        << session.transcript();
    EXPECT_EQ(voksim::readState(node)->blocks[1].pins[voksim::kPinKindUser].length, 0);
}

TEST(VokTerminal, CurrentPinIsAskedForWhenRequested) {
    VirtualTree tree;
    tree.addToken(1, 2);
    RunResult p = runVok(tree,
                         {"block", "provision", "-b", "1", "--vendor-id", "1", "--new-pin-env",
                          "VOKTEST_PIN", "--yes"},
                         "", {{"VOKTEST_PIN", "97531"}});
    ASSERT_EQ(p.exitCode, 0) << p.err;
    PtySession session(tree, {"read", "-b", "1", "--length", "2", "--ask-pin"});
    ASSERT_TRUE(session.expect("PIN: "));
    session.send("97531\n");
    EXPECT_EQ(session.finish(), 0) << session.transcript();
    EXPECT_NE(session.transcript().find("00000000: 0000"), std::string::npos);
    EXPECT_EQ(session.transcript().find("97531"), std::string::npos);
}

TEST(VokTerminal, InterruptAtThePromptRestoresEcho) {
    VirtualTree tree;
    tree.addToken(1, 2);
    PtySession session(tree, {"block", "lock", "-b", "1"});
    ASSERT_TRUE(session.expect("PIN: "));
    struct termios during;
    ASSERT_EQ(tcgetattr(session.masterFd(), &during), 0);
    EXPECT_EQ(during.c_lflag & ECHO, 0u);
    session.send("\x03");             // Ctrl-C
    EXPECT_EQ(session.finish(), -1);  // ended by SIGINT
    struct termios after;
    ASSERT_EQ(tcgetattr(session.masterFd(), &after), 0);
    EXPECT_NE(after.c_lflag & ECHO, 0u);
}

TEST(VokTerminal, ProgressBarOnATerminal) {
    VirtualTree tree;
    tree.addToken(1, 2);
    PtySession session(tree, {"read", "-o", "/dev/null"});
    EXPECT_EQ(session.finish(), 0) << session.transcript();
    EXPECT_NE(session.transcript().find("\rread  ["), std::string::npos) << session.transcript();
    EXPECT_NE(session.transcript().find("100% 4096/4096 bytes"), std::string::npos);
}

TEST(VokTerminal, NoProgressBarForOneStep) {
    VirtualTree tree;
    tree.addToken(1, 2);
    PtySession session(tree, {"read", "--length", "1024", "-o", "/dev/null"});
    EXPECT_EQ(session.finish(), 0);
    EXPECT_EQ(session.transcript(), "");
}

}  // namespace
}  // namespace voktest
