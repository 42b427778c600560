// The vok-sim tool through its real binary.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "sim/hostDriver.h"
#include "support/tempDir.h"
#include "voksim/voksim.h"

using namespace simtest;
using testsupport::TempDir;

namespace {

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string readAll(int fd) {
    std::string text;
    char chunk[4096];
    for (ssize_t got; (got = read(fd, chunk, sizeof chunk)) > 0;)
        text.append(chunk, static_cast<size_t>(got));
    return text;
}

// Runs vok-sim with `arguments`; stdout and stderr are collected separately,
// or stdout goes to the file `stdoutPath`.
ToolRun vokSim(const std::vector<std::string>& arguments, const char* stdoutPath = nullptr) {
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return {};
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int out = stdoutPath ? open(stdoutPath, O_WRONLY) : outPipe[1];
        if (out < 0) _exit(125);
        dup2(out, 1);
        dup2(errPipe[1], 2);
        close(outPipe[0]);
        close(errPipe[0]);
        std::vector<char*> argv{const_cast<char*>(VOK_SIM_BINARY)};
        for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(VOK_SIM_BINARY, argv.data());
        _exit(126);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    ToolRun run;
    run.out = readAll(outPipe[0]);  // small outputs: stderr fits in its pipe meanwhile
    run.err = readAll(errPipe[0]);
    close(outPipe[0]);
    close(errPipe[0]);
    int status = 0;
    waitpid(child, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

std::string line(const std::string& text, const std::string& prefix) {
    const size_t at = text.find(prefix);
    if (at == std::string::npos) return {};
    const size_t end = text.find('\n', at);
    return text.substr(at + prefix.size(), end - at - prefix.size());
}

class ToolTest : public ::testing::Test {
  protected:
    TempDir tree;
    std::string root = tree.path() + "/usb";
    std::string node = root + "/001/002";
    void SetUp() override {
        const ToolRun created = vokSim({"create", root, "--tokens", "2", "--foreign", "1"});
        ASSERT_EQ(created.status, 0) << created.err;
    }
};

TEST_F(ToolTest, CreateMakesTokensAndForeignDevices) {
    EXPECT_TRUE(voksim::isTokenNode(root + "/001/002"));
    EXPECT_TRUE(voksim::isTokenNode(root + "/001/003"));
    EXPECT_FALSE(voksim::isTokenNode(root + "/001/004"));
    struct stat status {};
    EXPECT_EQ(stat((root + "/001/004").c_str(), &status), 0);
    EXPECT_EQ(voksim::readState(root + "/001/003")->identity.tokenId[7], 2)
        << "each token has its own identifier";
    const ToolRun level =
        vokSim({"create", root, "--tokens", "1", "--bus", "2", "--model", "1", "--units", "16",
                "--level", "21", "--token-id", "0011223344556677"});
    ASSERT_EQ(level.status, 0) << level.err;
    const auto state = voksim::readState(root + "/002/002");
    ASSERT_TRUE(state);
    EXPECT_EQ(state->identity.memoryModel, 1);
    EXPECT_EQ(state->identity.protocolLevel, 21);
    EXPECT_EQ(state->identity.tokenId[7], 0x77);
    EXPECT_NE(vokSim({"create", root, "--token-id", "xyz"}).status, 0);
}

TEST_F(ToolTest, FaultsAreSetAndClearedThroughTheTool) {
    const ToolRun set =
        vokSim({"fault", "set", node, "--fail-transfer", "3", "--errno", "ETIMEDOUT", "--fixed-tag",
                "0x5A", "--status-phase", "2", "--status-value", "66", "--latency-us", "10"});
    ASSERT_EQ(set.status, 0) << set.err;
    const auto faults = voksim::getFaults(node);
    ASSERT_TRUE(faults);
    EXPECT_EQ(faults->failTransfer, 3u);
    EXPECT_EQ(faults->failErrno, ETIMEDOUT);
    EXPECT_EQ(faults->fixedTag, 0x5A);
    EXPECT_EQ(faults->statusPhase, 2);
    EXPECT_EQ(faults->statusValue, 66);
    EXPECT_EQ(faults->latencyMicros, 10u);
    ASSERT_EQ(vokSim({"fault", "clear", node}).status, 0);
    EXPECT_EQ(voksim::getFaults(node)->failTransfer, 0u);
    const ToolRun bad = vokSim({"fault", "set", node, "--errno", "ENOTANERRNO"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "vok-sim: unknown errno 'ENOTANERRNO'\n");
}

TEST_F(ToolTest, RunSetsTheEnvironmentAndRemovesItsLockDirectory) {
    const ToolRun run =
        vokSim({"run", root, "--", "printenv", "USB_DEVFS_PATH", "VOK_IPC_NAME", "LD_PRELOAD"});
    ASSERT_EQ(run.status, 0) << run.err;
    char resolved[4096];
    ASSERT_NE(realpath(root.c_str(), resolved), nullptr);
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = run.out.find('\n', at)) != std::string::npos; at = end + 1) {
        lines.push_back(run.out.substr(at, end - at));
    }
    ASSERT_EQ(lines.size(), 3u) << run.out;
    EXPECT_EQ(lines[0], resolved);
    EXPECT_EQ(lines[1].rfind("/tmp/vok-sim-ipc-", 0), 0u) << lines[1];
    EXPECT_NE(access(lines[1].c_str(), F_OK), 0) << "the private lock directory is gone";
    EXPECT_EQ(lines[2].substr(lines[2].size() - 12), "libvoksim.so");

    const std::string ipc = tree.path() + "/locks";
    mkdir(ipc.c_str(), 0777);
    const ToolRun given = vokSim({"run", root, "--ipc", ipc, "--", "env"});
    ASSERT_EQ(given.status, 0);
    EXPECT_NE(given.out.find("VOK_IPC_NAME=" + ipc + "\n"), std::string::npos);
    EXPECT_EQ(access(ipc.c_str(), F_OK), 0) << "a given lock directory stays";
}

TEST_F(ToolTest, RunPassesTheProgramsExitStatusOn) {
    EXPECT_EQ(vokSim({"run", root, "--", "false"}).status, 1);
    EXPECT_EQ(vokSim({"run", root, "--", "sh", "-c", "exit 7"}).status, 7);
    const ToolRun missing = vokSim({"run", root, "--", tree.path() + "/no-such-program"});
    EXPECT_EQ(missing.status, 127);
    EXPECT_NE(missing.err.find("vok-sim: cannot run"), std::string::npos);
    EXPECT_EQ(vokSim({"run", tree.path() + "/nowhere", "--", "true"}).status, 1);
}

TEST_F(ToolTest, AnyProgramUnderRunReachesTheVirtualToken) {
    ASSERT_EQ(vokSim({"fault", "set", node, "--fixed-tag", "77"}).status, 0);
    const ToolRun run = vokSim({"run", root, "--", VOKSIM_PRELOAD_PROBE, node});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out, "result 16 status 0 tag 77\n");
    const ToolRun log = vokSim({"log", node});
    EXPECT_NE(log.out.find("phase 0: command 0x30 '0'"), std::string::npos) << log.out;
    EXPECT_NE(log.out.find("status 0x00 ok, tag 0x4d"), std::string::npos) << log.out;
    ASSERT_EQ(vokSim({"log", node, "--clear"}).status, 0);
    EXPECT_TRUE(voksim::readLog(node).empty());
}

TEST_F(ToolTest, ShowPrintsTheStateAsTextAndJson) {
    ASSERT_EQ(runCommand(node, blockCommand(0x37, 2, "", {0x34, 0x12})).status, 0);
    const ToolRun text = vokSim({"show", node});
    ASSERT_EQ(text.status, 0);
    EXPECT_EQ(line(text.out, "token id        "), "56 4f 4b 00 00 00 00 01");
    const ToolRun json = vokSim({"show", node, "--json", "--memory"});
    ASSERT_EQ(json.status, 0);
    const nlohmann::json parsed = nlohmann::json::parse(json.out);
    EXPECT_EQ(parsed["geometry"]["memorySize"], 4096);
    EXPECT_EQ(parsed["blocks"][1]["vendorId"], 0x1234);
    EXPECT_EQ(parsed["blocks"][1]["start"], 1014);
    EXPECT_EQ(parsed["memory"].get<std::string>().size(), 4096u * 3 - 1);
    const ToolRun foreign = vokSim({"show", root + "/001/004"});
    EXPECT_EQ(foreign.status, 1);
    EXPECT_EQ(foreign.err, "vok-sim: " + root + "/001/004 is not a virtual token\n");
}

TEST_F(ToolTest, UnplugAndReplugMoveTheNode) {
    ASSERT_EQ(vokSim({"unplug", node}).status, 0);
    EXPECT_NE(access(node.c_str(), F_OK), 0);
    ASSERT_EQ(vokSim({"replug", node}).status, 0);
    EXPECT_TRUE(voksim::isTokenNode(node));
}

TEST_F(ToolTest, OutputThatCannotBeWrittenIsAFailure) {
    ASSERT_EQ(runCommand(node, Command{}).status, 0);  // something for the log to show
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"show", node}, {"log", node}, {"--help"}}) {
        const ToolRun run = vokSim(arguments, "/dev/full");
        EXPECT_EQ(run.status, 1) << arguments[0];
        EXPECT_EQ(run.err, "vok-sim: cannot write stdout: No space left on device\n")
            << arguments[0];
    }
}

TEST_F(ToolTest, HelpAndUsageErrors) {
    EXPECT_EQ(vokSim({"--help"}).status, 0);
    EXPECT_EQ(vokSim({"run", "--help"}).status, 0);
    EXPECT_NE(vokSim({}).status, 0);
    EXPECT_NE(vokSim({"frobnicate"}).status, 0);
    EXPECT_NE(vokSim({"fault", "set", node, "--status-phase", "9"}).status, 0);
}

}  // namespace
