// The transfer log and its transcript.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "sim/hostDriver.h"
#include "support/bytes.h"
#include "support/tempDir.h"
#include "voksim/voksim.h"

using namespace simtest;
using testsupport::bytesOf;
using testsupport::TempDir;

namespace {

size_t count(const std::string& text, const std::string& part) {
    size_t found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++found;
    }
    return found;
}

class LogTest : public ::testing::Test {
  protected:
    TempDir tree;
    std::string node = voksim::createToken(tree.path(), 1, 2);
};

TEST_F(LogTest, EveryTransferAndResetIsLoggedWithItsSetupAndBytes) {
    Host host(node);
    ASSERT_EQ(host.reset().result, 0);
    ASSERT_EQ(runCommand(host, Command{}).status, 0);
    const std::vector<voksim::LogEntry> log = voksim::readLog(node);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].kind, voksim::LogEntry::kReset);
    EXPECT_EQ(log[1].kind, voksim::LogEntry::kControl);
    EXPECT_EQ(log[1].bRequestType, 0x42);
    EXPECT_EQ(log[1].wLength, 8);
    EXPECT_EQ(log[1].timeout, 6000u);
    EXPECT_EQ(log[1].result, 8);
    EXPECT_EQ(log[1].data, bytesOf({0, 0x30, 0, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
    EXPECT_EQ(log[1].pid, static_cast<uint32_t>(getpid()));
    EXPECT_EQ(log[1].fd, host.fd());
    EXPECT_EQ(log[2].bRequestType, 0xC2);
    EXPECT_EQ(log[2].wLength, 16);
    EXPECT_EQ(log[2].data.size(), 16u) << "the bytes returned to the host";
    EXPECT_FALSE(log[2].faulted);
}

TEST_F(LogTest, TheTranscriptMasksPinsUnlessAsked) {
    ASSERT_EQ(runCommand(node, readMemory(0, 1, "ABCD")).status, 0);
    ASSERT_EQ(runCommand(node, setPin(0, 2, "", "WXYZ")).status, 0);
    const std::string masked = voksim::transcript(node);
    EXPECT_EQ(masked.find("41 42 43 44"), std::string::npos) << masked;
    EXPECT_EQ(masked.find("57 58 59 5a"), std::string::npos) << masked;
    EXPECT_EQ(count(masked, "** ** ** **"), 24u);  // phase 1 twice, phase 6 once
    EXPECT_NE(masked.find("phase 0: command 0x31 '1'"), std::string::npos);
    EXPECT_NE(masked.find("phase 3: word offset 0, word count 1"), std::string::npos);
    EXPECT_NE(masked.find("phase 5: new PIN length\n"), std::string::npos) << masked;
    EXPECT_NE(masked.find("status 0x00 ok"), std::string::npos);
    const std::string shown = voksim::transcript(node, true);
    EXPECT_NE(shown.find("phase 5: new PIN length 4"), std::string::npos);
    EXPECT_NE(shown.find("41 42 43 44"), std::string::npos);
    EXPECT_NE(shown.find("57 58 59 5a"), std::string::npos);
}

TEST_F(LogTest, AtLevel21PinBytesWrittenToMemoryAreMaskedToo) {
    voksim::Identity identity;
    identity.protocolLevel = 21;
    const std::string level21 = voksim::createToken(tree.path(), 1, 3, identity);
    ASSERT_EQ(runCommand(level21, writeMemory(2030, bytesOf({1, 2, 'a', 'b', 'c', 'd'}))).status,
              0);
    ASSERT_EQ(runCommand(level21, readMemory(2031, 2)).status, 0);
    const std::string masked = voksim::transcript(level21);
    EXPECT_NE(masked.find(" 01 02 ** ** ee ee  | phase 4"), std::string::npos) << masked;
    EXPECT_NE(masked.find(" ** ** ** ** 00  | status 0x00 ok"), std::string::npos) << masked;
    EXPECT_EQ(masked.find("61 62"), std::string::npos) << masked;
    EXPECT_NE(voksim::transcript(level21, true).find("61 62 63 64"), std::string::npos);
}

TEST_F(LogTest, FailuresAndFaultsAreShown) {
    voksim::Faults faults;
    faults.failTransfer = 2;
    ASSERT_TRUE(voksim::setFaults(node, faults));
    runCommand(node, Command{});
    const std::string text = voksim::transcript(node);
    EXPECT_NE(text.find("-1 Broken pipe (fault)"), std::string::npos) << text;
}

TEST_F(LogTest, AFailedResetShowsItsError) {
    Host host(node);
    ASSERT_TRUE(voksim::unplug(node));
    EXPECT_EQ(host.reset().error, ENODEV);
    const std::string text = voksim::transcript(node);
    EXPECT_NE(text.find("RESET  -> -1 No such device\n"), std::string::npos) << text;
}

TEST_F(LogTest, ALogThatCannotBeWrittenIsReportedOnceAndTheTransfersGoOn) {
    const std::string log = voksim::logPathOf(node);
    ASSERT_EQ(unlink(log.c_str()), 0);
    ASSERT_EQ(symlink("/dev/full", log.c_str()), 0);
    testing::internal::CaptureStderr();
    const Outcome first = runCommand(node, Command{});
    const Outcome second = runCommand(node, Command{});
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(err, "voksim: cannot write the transfer log " + log +
                       " (No space left on device): records are lost\n");
}

TEST_F(LogTest, TheLogCanBeClearedAndSwitchedOff) {
    ASSERT_EQ(runCommand(node, Command{}).status, 0);
    ASSERT_TRUE(voksim::clearLog(node));
    EXPECT_TRUE(voksim::readLog(node).empty());
    ASSERT_TRUE(voksim::setLogging(node, false));
    ASSERT_EQ(runCommand(node, Command{}).status, 0);
    EXPECT_TRUE(voksim::readLog(node).empty());
    ASSERT_TRUE(voksim::setLogging(node, true));
    ASSERT_EQ(runCommand(node, Command{}).status, 0);
    EXPECT_EQ(voksim::readLog(node).size(), 2u);
}

}  // namespace
