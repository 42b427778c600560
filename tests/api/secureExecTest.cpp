// A set-user-ID program that uses the library, run by another user, must not
// take USB_DEVFS_PATH, VOK_IPC_NAME and VOK_DEBUG from its caller: they would
// let the caller choose the tree it probes, have it create lock files where
// only root may write, and receive its trace.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "api/apiFixture.h"
#include "support/childEnvironment.h"
#include "support/childOutput.h"

namespace voktest {
namespace {

namespace fs = std::filesystem;

// Runs `program` as `user` with `env`: what it wrote to stdout and stderr.
std::string runAs(uid_t user, const std::string& program, const testsupport::Environment& env) {
    const testsupport::ExecArgs exec(program, {}, env);
    return testsupport::childOutput([&] {
        if (setgid(user) == 0 && setuid(user) == 0)
            execve(program.c_str(), exec.argv.data(), exec.envp.data());
    });
}

TEST(SecureExecution, ASetUserIdProgramIgnoresItsCallersEnvironment) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a set-user-ID program";
    TokenTree tree;
    tree.addToken(2);
    const testsupport::TempDir programs;
    const std::string probe = programs / "probe";
    fs::copy_file(SECURE_EXEC_PROBE, probe);
    ASSERT_EQ(chmod(programs.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(probe.c_str(), 04755), 0);
    testsupport::Environment env = testsupport::currentEnvironment();
    env["VOK_DEBUG"] = "3";

    // Without the set-user-ID bit (as root) the environment counts: the check
    // below can tell.
    const std::string honoured = runAs(0, SECURE_EXEC_PROBE, env);
    EXPECT_NE(honoured.find("secure 0, token found"), std::string::npos) << honoured;
    EXPECT_NE(honoured.find("vok["), std::string::npos) << honoured;
    for (const auto& entry : fs::directory_iterator(tree.lockDirectory())) fs::remove(entry);

    const std::string ignored = runAs(65534, probe, env);
    EXPECT_NE(ignored.find("secure 1, token none"), std::string::npos) << ignored;
    EXPECT_EQ(ignored.find("vok["), std::string::npos) << "the caller got the trace:\n" << ignored;
    EXPECT_TRUE(fs::is_empty(tree.lockDirectory())) << "a lock file where the caller said";
}

}  // namespace
}  // namespace voktest
