// vok with its stdout on a full disk: output that is lost must not pass for
// success.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "toolHarness.h"

namespace voktest {
namespace {

RunResult runVokOnFullDisk(const VirtualTree& tree, const std::vector<std::string>& args) {
    const testsupport::ExecArgs exec(vokPath(), args, treeEnvironment(tree));

    RunResult result;
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0) return result;
    const pid_t pid = fork();
    if (pid == 0) {
        const int full = open("/dev/full", O_WRONLY);
        if (full < 0 || dup2(full, STDOUT_FILENO) < 0 || dup2(err[1], STDERR_FILENO) < 0) {
            _exit(126);
        }
        execve(exec.argv[0], exec.argv.data(), exec.envp.data());
        _exit(127);
    }
    close(err[1]);
    char buffer[4096];
    for (ssize_t n; (n = read(err[0], buffer, sizeof buffer)) > 0;) {
        result.err.append(buffer, static_cast<size_t>(n));
    }
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

TEST(VokOutput, LostOutputIsAUsageFailureWithOneLine) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    VirtualTree tree;
    tree.addToken(1, 2);
    const std::string message = "vok: cannot write stdout: No space left on device\n";
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--help"},
                                                 {"list"},
                                                 {"read", "--length", "16", "--json"},
                                                 {"read", "--length", "16", "-o", "-"}}) {
        const RunResult r = runVokOnFullDisk(tree, args);
        EXPECT_EQ(r.exitCode, 2) << args.back() << ": " << r.err;
        EXPECT_EQ(r.err, message) << args.back();
    }
}

}  // namespace
}  // namespace voktest
