// Several processes open the same virtual token and work on it while others
// probe it through the lock files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "api/apiFixture.h"

namespace voktest {
namespace {

constexpr int kProcesses = 4;
constexpr int kRounds = 40;
constexpr uint32_t kRegion = 32;  // process p owns bytes 64 + 32p .. +31

uint8_t pattern(int process, int round, uint32_t i) {
    return static_cast<uint8_t>(process * 59 + round * 13 + i + 1);
}

// The work of one child process; returns its exit code.
int work_in_child(int process) {
    const VokHandle handle = vokOpen(0);
    if (handle == VOK_INVALID_HANDLE) return 10;
    VokIdResponse response;
    const uint32_t offset = 64 + kRegion * process + 1;  // odd: merged words at both ends
    for (int round = 0; round < kRounds; ++round) {
        std::vector<uint8_t> bytes(kRegion - 2);
        for (uint32_t i = 0; i < bytes.size(); ++i) bytes[i] = pattern(process, round, i);
        if (vokWrite(handle, nullptr, 0, offset, bytes.data(), bytes.size(), &response) !=
            VOK_STATUS_OK)
            return 11;
        std::vector<uint8_t> read(bytes.size());
        if (vokRead(handle, nullptr, 0, offset, read.data(), read.size(), &response) !=
            VOK_STATUS_OK)
            return 12;
        if (read != bytes) return 13;
        // Opening scans and probes the token under the device lock, while the
        // other processes run transactions on it.
        const VokHandle probe = vokOpen(0);
        if (probe == VOK_INVALID_HANDLE) return 14;
        if (vokClose(probe) != VOK_STATUS_OK) return 15;
    }
    if (vokClose(handle) != VOK_STATUS_OK) return 16;
    return 0;
}

TEST(ApiMultiProcess, ProcessesShareOneTokenThroughTheLockFiles) {
    TokenTree tree;
    const std::string node = tree.addToken(2);
    ASSERT_TRUE(voksim::setLogging(node, false));

    std::vector<pid_t> children;
    for (int process = 0; process < kProcesses; ++process) {
        const pid_t pid = fork();
        ASSERT_NE(pid, -1);
        if (pid == 0) _exit(work_in_child(process));
        children.push_back(pid);
    }
    // The parent probes too, while the children work.
    for (int round = 0; round < kRounds; ++round) {
        ScopedHandle probe(vokOpen(0));
        EXPECT_NE(probe.get(), VOK_INVALID_HANDLE);
    }
    for (size_t i = 0; i < children.size(); ++i) {
        int status = 0;
        ASSERT_EQ(waitpid(children[i], &status, 0), children[i]);
        ASSERT_TRUE(WIFEXITED(status)) << "process " << i;
        EXPECT_EQ(WEXITSTATUS(status), 0) << "process " << i;
    }

    for (int process = 0; process < kProcesses; ++process) {
        const std::vector<uint8_t> memory = tokenMemory(node, 64 + kRegion * process, kRegion);
        std::vector<uint8_t> expected(kRegion, 0);
        for (uint32_t i = 0; i + 2 < kRegion; ++i)
            expected[i + 1] = pattern(process, kRounds - 1, i);
        EXPECT_EQ(memory, expected) << "process " << process;
    }

    // One device path, one lock file, holding the 8-byte process ID of its
    // last holder.
    std::vector<std::filesystem::path> lockFiles;
    for (const auto& entry : std::filesystem::directory_iterator(tree.lockDirectory())) {
        lockFiles.push_back(entry.path());
    }
    ASSERT_EQ(lockFiles.size(), 1u);
    const std::string name = lockFiles[0].filename().string();
    EXPECT_EQ(name.size(), std::string("vok00.lock").size());
    EXPECT_EQ(name.rfind("vok", 0), 0u) << name;
    EXPECT_EQ(std::filesystem::file_size(lockFiles[0]), 8u);
}

}  // namespace
}  // namespace voktest
