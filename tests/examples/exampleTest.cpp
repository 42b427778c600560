// The example programs, run as their own processes on a virtual token.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>
#include <string>
#include <vector>

#include "api/apiFixture.h"
#include "support/childEnvironment.h"

namespace voktest {
namespace {

struct ProgramRun {
    int exitCode = -1;
    std::string output;  // standard output and standard error
};

// Runs `program` with the environment of this process, the virtual token's
// interposer preloaded.
ProgramRun run_with_virtual_token(const char* program, const std::vector<std::string>& args = {}) {
    const testsupport::ExecArgs exec(
        program, args,
        testsupport::withInterposer(testsupport::currentEnvironment(), VOK_SIM_LIBRARY));

    ProgramRun run;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, program, &actions, nullptr, exec.argv.data(), exec.envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned == 0) {
        char buffer[4096];
        ssize_t got = 0;
        while ((got = read(pipeFds[0], buffer, sizeof buffer)) > 0)
            run.output.append(buffer, static_cast<size_t>(got));
        int status = 0;
        if (waitpid(pid, &status, 0) == pid && WIFEXITED(status))
            run.exitCode = WEXITSTATUS(status);
    }
    close(pipeFds[0]);
    return run;
}

// The C quickstart and its C++ twin print the same report.
class QuickstartProgram : public ::testing::TestWithParam<const char*> {};

TEST_P(QuickstartProgram, WritesReadsBackAndRestores) {
    TokenTree tree;
    const std::string node = tree.addToken(2);
    setTokenMemory(node, 100, {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7});

    const ProgramRun run = run_with_virtual_token(GetParam());
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("token id:       564F4B0000000001"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("memory:         4096 bytes"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("read back:      hello"), std::string::npos) << run.output;
    EXPECT_EQ(tokenMemory(node, 100, 7),
              (std::vector<uint8_t>{0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}));
    // The odd offset made the library read the shared words before writing.
    bool readBeforeWrite = false;
    const std::vector<Opening> sent = openings(node);
    for (size_t i = 1; i < sent.size(); ++i) {
        if (sent[i - 1].command == VOK_CMD_READ && sent[i].command == VOK_CMD_WRITE)
            readBeforeWrite = true;
    }
    EXPECT_TRUE(readBeforeWrite);
}

TEST_P(QuickstartProgram, ReportsAMissingToken) {
    TokenTree tree;
    const ProgramRun run = run_with_virtual_token(GetParam());
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find("no token found"), std::string::npos) << run.output;
}

INSTANTIATE_TEST_SUITE_P(ExampleProgram, QuickstartProgram,
                         ::testing::Values(VOK_EXAMPLE_QUICKSTART, VOK_EXAMPLE_QUICKSTART_CPP),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.index == 0 ? "C" : "Cpp");
                         });

TEST(ExampleProgram, CppQuickstartListsTheTokens) {
    TokenTree tree;
    const std::string node = tree.addToken(2);
    const ProgramRun run = run_with_virtual_token(VOK_EXAMPLE_QUICKSTART_CPP);
    EXPECT_NE(run.output.find("token 0:        " + node + " (product 0x0401)"), std::string::npos)
        << run.output;
}

// The monitor example prints the present token, then a token plugged in
// while it runs, and stops after the count of events it was given.
TEST(ExampleProgram, MonitorPrintsArrivals) {
    TokenTree tree;
    const std::string node = tree.addToken(2);
    const std::string later = tree.root() + "/001/007";
    auto running = std::async(std::launch::async,
                              [] { return run_with_virtual_token(VOK_EXAMPLE_MONITOR, {"2"}); });
    tree.addToken(7);  // before or after the program's start: an arrival either way
    const ProgramRun run = running.get();
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("arrived " + node + " (bus 1, device 2)"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("arrived " + later + " (bus 1, device 7)"), std::string::npos)
        << run.output;
}

}  // namespace
}  // namespace voktest
