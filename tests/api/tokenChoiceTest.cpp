// vokListTokens and vokOpenPath on virtual tokens: what the listing reports
// (and that it sends nothing to any token), and which paths open a token.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "api/apiFixture.h"
#include "lock/mutex.h"

namespace voktest {
namespace {

// index, bus number, device number, product ID, path
using Entry = std::tuple<uint32_t, uint32_t, uint32_t, uint16_t, std::string>;

std::vector<Entry> listed() {
    std::vector<VokTokenEntry> entries(8);
    uint32_t count = 0;
    EXPECT_EQ(vokListTokens(entries.data(), 8, &count), VOK_STATUS_OK);
    std::vector<Entry> result;
    for (uint32_t i = 0; i < count && i < 8; ++i) {
        const VokTokenEntry& e = entries[i];
        EXPECT_EQ(e.reserved, 0);
        result.emplace_back(e.index, e.busNumber, e.deviceNumber, e.productId, e.path);
    }
    return result;
}

voksim::Identity tokenNumbered(uint8_t last) {
    voksim::Identity identity;
    identity.tokenId[7] = last;
    return identity;
}

// Three tokens on two buses and a foreign device among them.
class TokenChoiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        nodes_ = {tree_.addToken(2, tokenNumbered(1)), tree_.addToken(7, tokenNumbered(2)),
                  voksim::createToken(tree_.root(), 3, 12, tokenNumbered(3))};
        foreign_ = voksim::createForeignDevice(tree_.root(), 1, 4, 0x1234, 0x5678);
    }
    bool anyTransfer() const {
        return std::any_of(nodes_.begin(), nodes_.end(),
                           [](const std::string& node) { return !voksim::readLog(node).empty(); });
    }

    TokenTree tree_;
    std::vector<std::string> nodes_;
    std::string foreign_;
};

TEST_F(TokenChoiceTest, ListsEveryAcceptedTokenWithoutAnyTransfer) {
    const std::vector<Entry> found = listed();
    ASSERT_EQ(found.size(), 3u);
    // Indexes count in scan order, which is readdir's: the entry at position
    // i has index i.
    for (Entry e :
         {Entry{0, 1, 2, kVokProductId, nodes_[0]}, Entry{0, 1, 7, kVokProductId, nodes_[1]},
          Entry{0, 3, 12, kVokProductId, nodes_[2]}}) {
        const auto at = std::find_if(found.begin(), found.end(), [&](const Entry& f) {
            return std::get<4>(f) == std::get<4>(e);
        });
        ASSERT_NE(at, found.end()) << std::get<4>(e);
        std::get<0>(e) = static_cast<uint32_t>(at - found.begin());
        EXPECT_EQ(*at, e);
    }
    EXPECT_FALSE(anyTransfer()) << "the listing must neither reset nor ask any token";

    // The indexes are the ones vokOpen takes.
    for (const Entry& e : found) {
        ScopedHandle handle(vokOpen(static_cast<uint8_t>(std::get<0>(e))));
        VokIdInfo info{};
        ASSERT_EQ(vokGetInfo(handle.get(), &info, sizeof info), VOK_STATUS_OK);
        EXPECT_EQ(info.tokenId[7], voksim::readState(std::get<4>(e)).value().identity.tokenId[7]);
    }
}

TEST_F(TokenChoiceTest, SaysHowManyThereAreWhenTheArrayIsTooSmall) {
    const std::vector<Entry> all = listed();
    for (uint32_t capacity : {0u, 1u, 2u, 3u, 4u}) {
        std::vector<VokTokenEntry> entries(capacity + 1);
        std::memset(entries.data(), 0xA5, entries.size() * sizeof(VokTokenEntry));
        uint32_t count = 0;
        EXPECT_EQ(vokListTokens(capacity == 0 ? nullptr : entries.data(), capacity, &count),
                  VOK_STATUS_OK);
        EXPECT_EQ(count, 3u);
        for (uint32_t i = 0; i < capacity && i < count; ++i)
            EXPECT_EQ(entries[i].path, std::get<4>(all[i])) << capacity;
        // Nothing is written past the capacity given.
        const auto* past = reinterpret_cast<const uint8_t*>(&entries[capacity]);
        for (size_t i = 0; i < sizeof(VokTokenEntry); ++i) ASSERT_EQ(past[i], 0xA5) << capacity;
    }
    uint32_t count = 77;
    EXPECT_EQ(vokListTokens(nullptr, 0, nullptr), VOK_STATUS_BAD_ARGUMENT);
    EXPECT_EQ(vokListTokens(nullptr, 1, &count), VOK_STATUS_BAD_ARGUMENT);
    EXPECT_EQ(count, 77u);
}

// Whether thread `tid` of this process sleeps in the kernel.
bool asleep(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), {});
    const size_t paren = text.rfind(')');
    return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'S';
}

TEST_F(TokenChoiceTest, LeavesOutANodeThatDisappearsDuringTheScan) {
    const std::vector<Entry> before = listed();
    ASSERT_EQ(before.size(), 3u);
    const std::string vanishing = std::get<4>(before[1]);

    // Holding the node's device lock stops the scan at its probe.
    VokMutex held = kVokMutexNotHeld;
    vokMutexLock(vanishing.c_str(), &held);
    std::promise<pid_t> scanner;
    std::future<std::vector<Entry>> during = std::async(std::launch::async, [&] {
        scanner.set_value(static_cast<pid_t>(syscall(SYS_gettid)));
        return listed();
    });
    const pid_t tid = scanner.get_future().get();
    for (int waited = 0; !asleep(tid) && waited < 30000; ++waited) usleep(1000);
    EXPECT_EQ(during.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
        << "the scan did not wait for the device lock";
    ASSERT_TRUE(voksim::unplug(vanishing));
    vokMutexUnLock(&held);

    Entry last = before[2];
    std::get<0>(last) = 1;
    EXPECT_EQ(during.get(), (std::vector<Entry>{before[0], last}));
}

// ---- Open by path ----------------------------------------------------------

TEST_F(TokenChoiceTest, OpensTheTokenAtAPathWithTheInfoCommandOfVokOpen) {
    // The last node, through a doubled '/': the same file.
    std::string path = nodes_[2];
    path.insert(path.rfind('/'), "/");
    ScopedHandle handle(vokOpenPath(path.c_str()));
    ASSERT_NE(handle.get(), VOK_INVALID_HANDLE);
    // vokOpen's reset and info command, on that token alone.
    const std::vector<voksim::LogEntry> log = voksim::readLog(nodes_[2]);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front().kind, voksim::LogEntry::kReset);
    EXPECT_EQ(openings(nodes_[2]), (std::vector<Opening>{{VOK_CMD_GET_INFO, 0}}));
    nodes_.pop_back();
    EXPECT_FALSE(anyTransfer());

    VokIdInfo info{};
    ASSERT_EQ(vokGetInfo(handle.get(), &info, sizeof info), VOK_STATUS_OK);
    EXPECT_EQ(info.tokenId[7], 3);
    ScopedHandle byIndex(vokOpen(0));
    EXPECT_EQ(byIndex.get(), handle.get() + 1) << "one sequence of handles for both opens";
}

TEST_F(TokenChoiceTest, FailsCleanlyForAPathThatIsNoListedToken) {
    TokenTree elsewhere;  // a token outside the root in use
    const std::string outside = elsewhere.addToken(2);
    testsupport::ScopedEnv root("USB_DEVFS_PATH", tree_.root());
    const struct {
        const char* name;
        std::optional<std::string> path;
        int error;
    } cases[] = {
        {"a foreign device", foreign_, ENODEV},
        {"a missing node", tree_.root() + "/001/099", ENOENT},
        {"a bus directory", tree_.root() + "/001", ENODEV},
        {"a token outside the root", outside, ENODEV},
        {"no path", std::nullopt, EINVAL},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vokOpenPath(c.path ? c.path->c_str() : nullptr), VOK_INVALID_HANDLE) << c.name;
        EXPECT_EQ(vokLastSystemError(), c.error) << c.name;
    }
    EXPECT_FALSE(anyTransfer());
    EXPECT_TRUE(voksim::readLog(outside).empty());
}

// A node is the pair of its file system and its inode: a file elsewhere that
// shares only the inode number of a token's node is not that token. Two
// fresh tmpfs mounts number their inodes alike, so one can be made.
TEST(TokenChoiceInode, AFileWithATokenNodesInodeNumberOnAnotherFileSystemIsNoToken) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount";
    testsupport::TempDir top("vok-inode-");
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        const std::string a = top.path() + "/a";
        const std::string b = top.path() + "/b";
        if (unshare(CLONE_NEWNS) != 0 ||
            mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mkdir(a.c_str(), 0700) != 0 || mkdir(b.c_str(), 0700) != 0 ||
            mount("tmpfs", a.c_str(), "tmpfs", 0, nullptr) != 0 ||
            mount("tmpfs", b.c_str(), "tmpfs", 0, nullptr) != 0) {
            _exit(90);
        }
        testsupport::ScopedEnv root("USB_DEVFS_PATH", a);
        const std::string node = voksim::createToken(a, 1, 2, voksim::Identity{});
        struct stat token = {};
        if (stat(node.c_str(), &token) != 0) _exit(91);
        std::string twin;
        for (int i = 0; twin.empty() && i < 64; ++i) {
            const std::string file = b + "/f" + std::to_string(i);
            std::ofstream{file} << "x";
            struct stat st = {};
            if (stat(file.c_str(), &st) == 0 && st.st_ino == token.st_ino) twin = file;
        }
        if (twin.empty()) _exit(92);
        const VokHandle handle = vokOpenPath(twin.c_str());
        _exit(handle == VOK_INVALID_HANDLE && vokLastSystemError() == ENODEV ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "90-92: the two file systems could not be made";
}

}  // namespace
}  // namespace voktest
