// What vok says about a failed exchange: the system error behind status 5
// and the next step, and the library's trace with -v.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vok/vok.h>

#include <cerrno>

#include "toolHarness.h"

namespace voktest {
namespace {

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

struct Cause {
    int failErrno;
    const char* line;  // the second line of the message
};

const Cause kCauses[] = {
    {EPIPE,
     "vok: system error: Broken pipe (EPIPE): the token did not answer: try again, "
     "or re-plug it\n"},
    {ETIMEDOUT,
     "vok: system error: Connection timed out (ETIMEDOUT): the token did not "
     "answer: try again, or re-plug it\n"},
    {ENODEV,
     "vok: system error: No such device (ENODEV): the token was removed: plug it in "
     "again\n"},
};

// The control transfers of one info command, so that a fault can be placed
// just after the one that vokOpen runs.
uint32_t infoTransfers(const VirtualTree& tree, const std::string& node) {
    voksim::clearLog(node);
    runVok(tree, {"info"});  // the open's info command, then the one shown
    uint32_t control = 0;
    for (const voksim::LogEntry& entry : voksim::readLog(node)) {
        control += entry.kind == voksim::LogEntry::kControl ? 1 : 0;
    }
    return control / 2;
}

TEST(VokDiagnostics, StatusFiveNamesTheSystemErrorAndTheNextStep) {
    for (const Cause& cause : kCauses) {
        SCOPED_TRACE(cause.failErrno);
        VirtualTree tree;
        const std::string node = tree.addToken(1, 2);
        voksim::Faults faults;
        faults.failTransfer = infoTransfers(tree, node) + 1;  // the read's first
        faults.failErrno = cause.failErrno;
        faults.failAll = true;
        ASSERT_TRUE(voksim::setFaults(node, faults));
        RunResult r = runVok(tree, {"read", "--length", "4"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, statusLine("read", VOK_STATUS_TRANSFER_FAILED) + cause.line);
    }
}

// -v shows the failing system call, -vv adds the transactions; without -v
// the trace stays off.
TEST(VokDiagnostics, VerbosityTurnsTheTraceOn) {
    VirtualTree tree;
    const std::string node = tree.addToken(1, 2);
    RunResult quiet = runVok(tree, {"info"});
    EXPECT_EQ(quiet.err, "");
    RunResult transactions = runVok(tree, {"info", "-vv"});
    EXPECT_EQ(transactions.exitCode, 0);
    EXPECT_TRUE(has(transactions.err, "transaction 0x30 handle")) << transactions.err;
    voksim::Faults faults;
    faults.failTransfer = 1;
    ASSERT_TRUE(voksim::setFaults(node, faults));
    RunResult failures = runVok(tree, {"-v", "info"});
    EXPECT_TRUE(has(failures.err, "ioctl USBDEVFS_CONTROL " + node + " failed: Broken pipe"))
        << failures.err;
    EXPECT_FALSE(has(failures.err, "transaction 0x")) << failures.err;
}

// A node this user may not open (no udev rule): vok says so and names the
// way out.
TEST(VokDiagnostics, ANodeOutOfReachNamesTheUdevRule) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run vok as another user";
    VirtualTree tree;
    const std::string node = tree.addToken(1, 2);
    ASSERT_EQ(chmod(tree.root.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod((tree.root.path() + "/001").c_str(), 0755), 0);
    ASSERT_EQ(chmod(tree.locks.path().c_str(), 0777), 0);
    ASSERT_EQ(chmod(node.c_str(), 0600), 0);
    RunResult r = runVokIn(treeEnvironment(tree), {"info"}, "", 65534);
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_TRUE(has(r.err,
                    "\nvok: system error: Permission denied (EACCES): this user may not "
                    "open the token's node: install the udev rule and run 'vok doctor'\n"))
        << r.err;
}

}  // namespace
}  // namespace voktest
