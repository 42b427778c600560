// Saying why a call failed: the system error behind status 5 and the trace
// lines, through the application's log handler.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <vector>

#include "api/apiFixture.h"

namespace voktest {
namespace {

// Collects the trace lines of the calls a test makes.
struct Collected {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::string all() {
        std::lock_guard<std::mutex> hold(mutex);
        std::string text;
        for (const std::string& line : lines) text += line + "\n";
        return text;
    }
};

void collect(void* context, int, const char* line) {
    auto* collected = static_cast<Collected*>(context);
    std::lock_guard<std::mutex> hold(collected->mutex);
    collected->lines.emplace_back(line);
}

class DiagnosticsTest : public OpenTokenTest {
  protected:
    void SetUp() override {
        OpenTokenTest::SetUp();
        vokSetLogHandler(collect, &collected_);
    }
    void TearDown() override {
        vokSetLogLevel(0);
        vokSetLogHandler(nullptr, nullptr);
        OpenTokenTest::TearDown();
    }
    uint32_t readFour() {
        uint8_t bytes[4];
        return vokRead(handle_, nullptr, 0, 0, bytes, sizeof bytes, &response_);
    }
    Collected collected_;
};

struct FailureKind {
    const char* name;
    void (*arrange)(const std::string& node);
    uint32_t status;
    int systemError;
    const char* traced;  // a part of the trace line that says why
};

void stall(const std::string& node) {
    voksim::Faults faults;
    faults.failTransfer = 3;
    ASSERT_TRUE(voksim::setFaults(node, faults));
}
void timeOut(const std::string& node) {
    voksim::Faults faults;
    faults.failTransfer = 3;
    faults.failErrno = ETIMEDOUT;
    ASSERT_TRUE(voksim::setFaults(node, faults));
}
void wrongTag(const std::string& node) {
    voksim::Faults faults;
    faults.wrongTagTransfer = 2;
    ASSERT_TRUE(voksim::setFaults(node, faults));
}
void removed(const std::string& node) { ASSERT_TRUE(voksim::unplug(node)); }
void nothing(const std::string&) {}

const FailureKind kKinds[] = {
    {"stall", stall, 5, EPIPE, "ioctl USBDEVFS_CONTROL"},
    {"time-out", timeOut, 5, ETIMEDOUT, "Connection timed out"},
    {"removed", removed, 5, ENOENT, "No such file or directory"},
    {"wrong tag", wrongTag, 5, 0, "reply did not echo the transaction tag"},
    {"success", nothing, 0, 0, nullptr},
};

TEST_F(DiagnosticsTest, EachFailureKindNamesItsCause) {
    vokSetLogLevel(1);
    for (const FailureKind& kind : kKinds) {
        SCOPED_TRACE(kind.name);
        collected_.lines.clear();
        kind.arrange(node_);
        EXPECT_EQ(readFour(), kind.status);
        EXPECT_EQ(vokLastSystemError(), kind.systemError);
        const std::string trace = collected_.all();
        if (kind.traced == nullptr) {
            EXPECT_EQ(trace, "");
        } else {
            EXPECT_NE(trace.find(kind.traced), std::string::npos) << trace;
            EXPECT_EQ(trace.rfind("vok[" + std::to_string(getpid()) + ":", 0), 0u) << trace;
        }
        voksim::clearFaults(node_);
        voksim::replug(node_);
    }
    // A later call that meets no failure clears the error again.
    EXPECT_EQ(readFour(), 0u);
    EXPECT_EQ(vokLastSystemError(), 0);
}

// A user without access to the node (no udev rule) gets EACCES from vokOpen.
TEST_F(DiagnosticsTest, ANodeTheUserMayNotOpenGivesPermissionDenied) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
    ASSERT_EQ(chmod(tree_.root().c_str(), 0755), 0);
    ASSERT_EQ(chmod((tree_.root() + "/001").c_str(), 0755), 0);
    ASSERT_EQ(chmod(node_.c_str(), 0644), 0);
    ASSERT_EQ(chmod(tree_.lockDirectory().c_str(), 0777), 0);
    const pid_t child = fork();
    if (child == 0) {
        vokSetLogLevel(1);
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        const bool refused = vokOpen(0) == VOK_INVALID_HANDLE && vokLastSystemError() == EACCES;
        const bool traced = collected_.all().find("Permission denied") != std::string::npos;
        _exit(refused && traced ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(DiagnosticsTest, TransactionAndTransferLinesNeverShowAPin) {
    vokSetLogLevel(3);
    const std::string pin = "\xa1\xa2\xa3\xa4\xa5\xa6\xa7\xa8\xa9\xaa\xab\xac\xad\xae\xaf\xb0";
    VokIdResponse response;
    ASSERT_EQ(vokSetPin(handle_, VOK_PIN_USER, VOK_BLOCK_2, nullptr, 0, pin.data(), 16, &response),
              0u);
    uint8_t bytes[8] = {};
    ASSERT_EQ(vokReadEx(handle_, VOK_BLOCK_2, pin.data(), 16, 0, bytes, 8, &response), 0u);
    const std::string trace = collected_.all();
    EXPECT_NE(trace.find("transaction 0x34 handle " + std::to_string(handle_) + " on " + node_ +
                         ": phases 0-3, status 0"),
              std::string::npos)
        << trace;
    EXPECT_NE(trace.find("transfer out phase 1"), std::string::npos);
    // A packet carries four PIN bytes, so a leak shows four in a row; two in a
    // row also turn up among the random filler bytes now and then.
    for (size_t i = 0; i + 3 < pin.size(); ++i) {
        char run[16];
        snprintf(run, sizeof run, "%02x %02x %02x %02x", static_cast<uint8_t>(pin[i]),
                 static_cast<uint8_t>(pin[i + 1]), static_cast<uint8_t>(pin[i + 2]),
                 static_cast<uint8_t>(pin[i + 3]));
        EXPECT_EQ(trace.find(run), std::string::npos) << "PIN bytes " << run << " in the trace";
    }
}

// The handler may turn the trace off or replace itself from within a line.
void reconfigure(void* context, int, const char*) {
    vokSetLogLevel(0);
    vokSetLogHandler(collect, context);
    (void)vokLastSystemError();
}

TEST_F(DiagnosticsTest, AHandlerThatCallsBackDoesNotDeadlock) {
    vokSetLogHandler(reconfigure, &collected_);
    vokSetLogLevel(3);
    EXPECT_EQ(readFour(), 0u);
    EXPECT_EQ(readFour(), 0u);
}

TEST(DiagnosticsDeathTest, ALevelOutsideZeroToThreeIsOffWithOneWarning) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("VOK_DEBUG", "7", 1);
            TokenTree tree;
            tree.addToken(2);
            const VokHandle handle = vokOpen(0);
            vokClose(handle);
            _exit(handle != VOK_INVALID_HANDLE ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "VOK_DEBUG=7 is not a level from 0 to 3");
}

}  // namespace
}  // namespace voktest
