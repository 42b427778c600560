// vokListTokens and vokOpenPath on virtual tokens: what the listing reports
// (and that it sends nothing to any token), and which paths open a token.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "api/apiFixture.h"
#include "lock/mutex.h"

namespace voktest {
namespace {

// What a test expects of one entry.
struct Expected {
    uint32_t index;
    uint32_t bus;
    uint32_t device;
    uint16_t productId;
    std::string path;
};

std::vector<Expected> listed(uint32_t capacity = 8) {
    std::vector<VokTokenEntry> entries(capacity);
    uint32_t count = 0;
    EXPECT_EQ(vokListTokens(entries.data(), capacity, &count), VOK_STATUS_OK);
    std::vector<Expected> result;
    for (uint32_t i = 0; i < count && i < capacity; ++i) {
        const VokTokenEntry& e = entries[i];
        EXPECT_EQ(e.reserved, 0);
        result.push_back({e.index, e.busNumber, e.deviceNumber, e.productId, e.path});
    }
    return result;
}

bool operator==(const Expected& a, const Expected& b) {
    return a.index == b.index && a.bus == b.bus && a.device == b.device &&
           a.productId == b.productId && a.path == b.path;
}

void PrintTo(const Expected& e, std::ostream* out) {
    *out << "{" << e.index << ", " << e.bus << "/" << e.device << ", 0x" << std::hex
         << e.productId << std::dec << ", " << e.path << "}";
}

voksim::Identity tokenNumbered(uint8_t last, uint16_t idProduct = kVokProductId) {
    voksim::Identity identity;
    identity.tokenId[7] = last;
    identity.idProduct = idProduct;
    return identity;
}

// Three tokens on two buses and a foreign device between them; the scan
// visits them in readdir order, which the test reads back from the listing.
class TokenChoiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        nodes_ = {tree_.addToken(2, tokenNumbered(1)), tree_.addToken(7, tokenNumbered(2)),
                  voksim::createToken(tree_.root(), 3, 12, tokenNumbered(3))};
        foreign_ = voksim::createForeignDevice(tree_.root(), 1, 4, 0x1234, 0x5678);
    }
    bool anyTransfer() const {
        for (const std::string& node : nodes_) {
            if (!voksim::readLog(node).empty()) return true;
        }
        return false;
    }

    TokenTree tree_;
    std::vector<std::string> nodes_;
    std::string foreign_;
};

TEST_F(TokenChoiceTest, ListsEveryAcceptedTokenWithoutAnyTransfer) {
    const std::vector<Expected> found = listed();
    ASSERT_EQ(found.size(), 3u);
    // Indexes count in scan order, which is readdir's: the entry at
    // position i has index i.
    const Expected expected[] = {{0, 1, 2, kVokProductId, nodes_[0]},
                                 {0, 1, 7, kVokProductId, nodes_[1]},
                                 {0, 3, 12, kVokProductId, nodes_[2]}};
    for (Expected e : expected) {
        const auto at = std::find_if(found.begin(), found.end(),
                                     [&](const Expected& f) { return f.path == e.path; });
        ASSERT_NE(at, found.end()) << e.path;
        e.index = static_cast<uint32_t>(at - found.begin());
        EXPECT_EQ(*at, e);
    }
    EXPECT_FALSE(anyTransfer()) << "the listing must neither reset nor ask any token";
}

TEST_F(TokenChoiceTest, IndexesAreTheOnesVokOpenTakes) {
    for (const Expected& e : listed()) {
        ScopedHandle handle(vokOpen(static_cast<uint8_t>(e.index)));
        VokIdInfo info{};
        ASSERT_EQ(vokGetInfo(handle.get(), &info, sizeof info), VOK_STATUS_OK);
        ASSERT_TRUE(voksim::readState(e.path).has_value());
        EXPECT_EQ(info.tokenId[7], voksim::readState(e.path)->identity.tokenId[7]) << e.path;
    }
}

TEST_F(TokenChoiceTest, SaysHowManyThereAreWhenTheArrayIsTooSmall) {
    const std::vector<Expected> all = listed();
    for (uint32_t capacity : {0u, 1u, 2u, 3u, 4u}) {
        std::vector<VokTokenEntry> entries(capacity + 1);
        std::memset(entries.data(), 0xA5, entries.size() * sizeof(VokTokenEntry));
        uint32_t count = 0;
        EXPECT_EQ(vokListTokens(capacity == 0 ? nullptr : entries.data(), capacity, &count),
                  VOK_STATUS_OK);
        EXPECT_EQ(count, 3u);
        for (uint32_t i = 0; i < capacity && i < count; ++i)
            EXPECT_EQ(entries[i].path, all[i].path) << capacity;
        // Nothing is written past the capacity given.
        const auto* past = reinterpret_cast<const uint8_t*>(&entries[capacity]);
        for (size_t i = 0; i < sizeof(VokTokenEntry); ++i) ASSERT_EQ(past[i], 0xA5) << capacity;
    }
}

TEST_F(TokenChoiceTest, RefusesMissingArguments) {
    VokTokenEntry entry{};
    uint32_t count = 77;
    EXPECT_EQ(vokListTokens(&entry, 1, nullptr), VOK_STATUS_BAD_ARGUMENT);
    EXPECT_EQ(vokListTokens(nullptr, 1, &count), VOK_STATUS_BAD_ARGUMENT);
    EXPECT_EQ(count, 77u);
    EXPECT_FALSE(anyTransfer());
}

// The scan's thread is asleep in the kernel: waiting for the device lock.
bool asleep(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), {});
    const size_t paren = text.rfind(')');
    return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'S';
}

TEST_F(TokenChoiceTest, LeavesOutANodeThatDisappearsDuringTheScan) {
    const std::vector<Expected> before = listed();
    ASSERT_EQ(before.size(), 3u);
    const std::string vanishing = before[1].path;

    // Holding the node's device lock stops the scan at its probe.
    VokMutex held = kVokMutexNotHeld;
    vokMutexLock(vanishing.c_str(), &held);
    std::atomic<pid_t> tid{0};
    std::atomic<bool> done{false};
    std::vector<Expected> during;
    std::thread scan([&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        during = listed();
        done = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done && (tid == 0 || !asleep(tid)) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(done) << "the scan did not wait for the device lock";
    ASSERT_TRUE(voksim::unplug(vanishing));
    vokMutexUnLock(&held);
    scan.join();

    EXPECT_EQ(during, (std::vector<Expected>{before[0], {1, before[2].bus, before[2].device,
                                                         before[2].productId, before[2].path}}));
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

}  // namespace
}  // namespace voktest
