// A program that starts another (fork, then exec) while a transaction has the
// token's node open and a device lock is held passes neither descriptor on.
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "api/apiFixture.h"
#include "lock/mutex.h"
#include "support/childOutput.h"

namespace voktest {
namespace {

// What the descriptors of this process point to.
std::vector<std::string> openFiles() {
    std::vector<std::string> targets;
    DIR* fds = opendir("/proc/self/fd");
    while (const dirent* entry = fds != nullptr ? readdir(fds) : nullptr) {
        char target[4096] = {};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) > 0) targets.emplace_back(target);
    }
    if (fds != nullptr) closedir(fds);
    return targets;
}

size_t countStartingWith(const std::vector<std::string>& files, const std::string& prefix) {
    size_t count = 0;
    for (const std::string& file : files) count += file.rfind(prefix, 0) == 0 ? 1 : 0;
    return count;
}

// The output of `ls -l /proc/self/fd` run in a child started now.
std::string childDescriptors() {
    return testsupport::childOutput(
        [] { execl("/bin/ls", "ls", "-l", "/proc/self/fd", static_cast<char*>(nullptr)); });
}

class InheritanceTest : public OpenTokenTest {};

TEST_F(InheritanceTest, AStartedProgramInheritsNoDescriptorOfTheLibrary) {
    voksim::Faults slow;
    slow.latencyMicros = 6000;  // a read of 256 bytes then takes at least 0.5 s
    ASSERT_TRUE(voksim::setFaults(node_, slow));
    std::atomic<bool> done{false};
    std::thread reader([&] {
        uint8_t bytes[256];
        EXPECT_EQ(vokRead(handle_, nullptr, 0, 0, bytes, sizeof bytes, &response_), 0u);
        done = true;
    });
    VokMutex lock = {-1, nullptr};
    vokMutexLock((tree_.root() + "/lock-name").c_str(), &lock);
    ASSERT_GE(lock.fd, 0);

    // Once the read is under way, both of its descriptors are open.
    std::vector<std::string> ours = openFiles();
    while (countStartingWith(ours, node_) < 2 && !done) ours = openFiles();
    const std::string theirs = childDescriptors();
    vokMutexUnLock(&lock);
    reader.join();

    // The parent had both open at the time, so the child could have got them.
    // Twice: the call's descriptor that holds the token, and its transaction's.
    EXPECT_EQ(countStartingWith(ours, node_), 2u) << "the node was not open during the fork";
    EXPECT_EQ(countStartingWith(ours, tree_.lockDirectory()), 1u) << "no lock file was open";
    EXPECT_EQ(theirs.find(tree_.root()), std::string::npos) << theirs;
    EXPECT_EQ(theirs.find(tree_.lockDirectory()), std::string::npos) << theirs;
}

}  // namespace
}  // namespace voktest
