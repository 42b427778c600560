// Broken and abandoned transactions: the token answers a protocol error,
// stalls what it does not accept, and never loses its footing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
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

class ProtocolTest : public ::testing::Test {
  protected:
    TempDir tree;
    std::string node = voksim::createToken(tree.path(), 1, 2);
    Host host{node};

    // Runs phase 0 of `code` and returns the tag.
    uint8_t open(uint8_t code, uint8_t blockByte = 0) {
        EXPECT_EQ(host.out(bytesOf({0, code, blockByte, 0, 0, 0, 0, 0})).result, 8);
        std::vector<uint8_t> reply;
        EXPECT_EQ(host.in(reply, 8, 0).result, 8);
        EXPECT_EQ(reply[0], 0);
        return reply[2];
    }
    void sendPins(uint8_t tag, int count = 8) {
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(host.out(bytesOf({1, tag, 0, 0, 0, 0, 0, 0})).result, 8);
        }
    }
    std::vector<uint8_t> reply(uint16_t wValue, uint16_t length = 8) {
        std::vector<uint8_t> bytes;
        EXPECT_EQ(host.in(bytes, length, wValue).result, length);
        return bytes;
    }
    // A whole read of one word on a fresh transaction still works.
    void expectTokenStillWorks() { EXPECT_EQ(runCommand(host, readMemory(0, 1)).status, 0); }
};

TEST_F(ProtocolTest, APacketWithAWrongTagEndsTheTransactionWithAProtocolError) {
    const uint8_t tag = open(0x31);
    sendPins(tag, 7);
    ASSERT_EQ(host.out(bytesOf({1, static_cast<uint8_t>(tag + 1), 0, 0, 0, 0, 0, 0})).result, 8);
    const std::vector<uint8_t> answer = reply(tag);
    EXPECT_EQ(answer[0], voksim::kStatusProtocolError);
    EXPECT_EQ(answer[2], tag);
    EXPECT_EQ(reply(tag)[0], voksim::kStatusProtocolError) << "nothing is due any more";
    EXPECT_EQ(reply(tag)[2], 0);
    expectTokenStillWorks();
}

TEST_F(ProtocolTest, PacketsOutOfOrderOrOfUnknownPhasesAreProtocolErrors) {
    for (uint8_t phase : {2, 3, 4, 5, 6, 7, 0x80, 0xFE}) {
        const uint8_t tag = open(0x31);
        ASSERT_EQ(host.out(bytesOf({phase, tag, 0, 0, 0, 0, 0, 0})).result, 8);
        EXPECT_EQ(reply(tag)[0], voksim::kStatusProtocolError) << int(phase);
    }
    // A header where a parameter packet is due.
    const uint8_t tag = open(0x37, 1);
    sendPins(tag);
    ASSERT_EQ(reply(tag)[0], 0);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(host.out(bytesOf({2, tag, 0x56, 0x4F, 0x4B, 0, 0, 0})).result, 8);
    }
    ASSERT_EQ(host.out(bytesOf({2, tag, 0, 0, 0, 1, 0, 0})).result, 8) << "a third id packet";
    EXPECT_EQ(reply(tag)[0], voksim::kStatusProtocolError);
    expectTokenStillWorks();
}

TEST_F(ProtocolTest, AReplyReadTooEarlyOrWithTheWrongValueIsAProtocolError) {
    uint8_t tag = open(0x31);
    sendPins(tag, 3);
    EXPECT_EQ(reply(tag)[0], voksim::kStatusProtocolError);
    tag = open(0x31);
    sendPins(tag);
    EXPECT_EQ(reply(static_cast<uint16_t>(tag ^ 0x01))[0], voksim::kStatusProtocolError);
    ASSERT_EQ(host.out(bytesOf({0, 0x31, 0, 0, 0, 0, 0, 0})).result, 8);
    EXPECT_EQ(reply(1)[0], voksim::kStatusProtocolError) << "the phase-0 reply is read with 0";
    expectTokenStillWorks();
}

TEST_F(ProtocolTest, RequestsTheTokenDoesNotAcceptAreStalled) {
    std::vector<uint8_t> bytes;
    EXPECT_EQ(host.in(bytes, 18, 0x0100, 0x80).error, EPIPE);  // a standard request
    EXPECT_EQ(host.out(bytesOf({0, 0x30, 0, 0, 0, 0, 0, 0}), 0x40).error, EPIPE);
    usbdevfs_ctrltransfer setup{};
    uint8_t data[8] = {};
    setup.bRequestType = 0x42;
    setup.bRequest = 1;
    setup.wLength = 8;
    setup.data = data;
    EXPECT_EQ(ioctl(host.fd(), USBDEVFS_CONTROL, &setup), -1);
    EXPECT_EQ(errno, EPIPE);
    setup.bRequest = 0;
    setup.wIndex = 1;
    EXPECT_EQ(ioctl(host.fd(), USBDEVFS_CONTROL, &setup), -1);
    EXPECT_EQ(errno, EPIPE);
    expectTokenStillWorks();
}

TEST_F(ProtocolTest, BadSetupsFailAsTheKernelWouldAndReachNothing) {
    EXPECT_EQ(ioctl(host.fd(), USBDEVFS_CONTROL, nullptr), -1);
    EXPECT_EQ(errno, EFAULT);
    usbdevfs_ctrltransfer setup{};
    setup.bRequestType = 0xC2;
    setup.wLength = 8;
    EXPECT_EQ(ioctl(host.fd(), USBDEVFS_CONTROL, &setup), -1);
    EXPECT_EQ(errno, EFAULT);
    std::vector<uint8_t> big(5000);
    setup.wLength = 5000;
    setup.data = big.data();
    EXPECT_EQ(ioctl(host.fd(), USBDEVFS_CONTROL, &setup), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(voksim::readLog(node).empty());
}

TEST_F(ProtocolTest, APacketOfTheWrongLengthIsAProtocolError) {
    const uint8_t tag = open(0x31);
    EXPECT_EQ(host.out(bytesOf({1, tag, 0, 0, 0, 0, 0})).result, 7);
    sendPins(tag, 8);
    EXPECT_EQ(reply(tag)[0], voksim::kStatusProtocolError);
}

TEST_F(ProtocolTest, AShortOrLongReadOfAReplyGetsWhatFits) {
    ASSERT_EQ(host.out(bytesOf({0, 0x30, 0, 0, 0, 0, 0, 0})).result, 8);
    std::vector<uint8_t> bytes;
    EXPECT_EQ(host.in(bytes, 8, 0).result, 8);
    EXPECT_EQ(bytes[0], 0);
    const uint8_t tag = open(0x31);
    sendPins(tag);
    EXPECT_EQ(host.in(bytes, 64, tag).result, 8);
    EXPECT_EQ(host.in(bytes, 0, tag).result, 0);
}

TEST_F(ProtocolTest, AnAbandonedTransactionGivesWayToTheNextPhaseZero) {
    ASSERT_EQ(runCommand(host, writeMemory(0, bytesOf({1, 2, 3, 4, 5, 6}))).status, 0);
    const uint8_t tag = open(0x32);
    sendPins(tag, 5);
    // The host gives up in the middle of phase 1 and starts again.
    expectTokenStillWorks();
    EXPECT_EQ(runCommand(host, readMemory(0, 3)).data, bytesOf({1, 2, 3, 4, 5, 6, 0, 0}));
}

TEST_F(ProtocolTest, TheResetExchangeEndsTheTransaction) {
    const uint8_t tag = open(0x31);
    sendPins(tag);
    std::vector<uint8_t> bytes;
    host.in(bytes, 8, tag);  // the phase-1 reply, taken by the reset exchange
    ASSERT_EQ(host.out(bytesOf({0xFF, 1, 2, 3, 4, 5, 6, 7})).result, 8);
    EXPECT_EQ(reply(tag)[0], voksim::kStatusProtocolError);
    ASSERT_EQ(host.out(bytesOf({2, tag, 0x56, 0x4F, 0x4B, 0, 0, 0})).result, 8);
    EXPECT_EQ(reply(tag)[0], voksim::kStatusProtocolError);
    expectTokenStillWorks();
}

TEST_F(ProtocolTest, APortResetReturnsZeroAndEndsTheCallersTransaction) {
    const uint8_t tag = open(0x31);
    sendPins(tag);
    EXPECT_EQ(host.reset().result, 0);
    EXPECT_EQ(reply(tag)[0], voksim::kStatusProtocolError);
    EXPECT_EQ(voksim::readState(node)->resetCount, 1u);
    expectTokenStillWorks();
}

TEST_F(ProtocolTest, AReadOfNoWordsEndsAtItsHeader) {
    const uint8_t tag = open(0x31);
    sendPins(tag);
    ASSERT_EQ(reply(tag)[0], 0);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(host.out(bytesOf({2, tag, i ? uint8_t(0) : uint8_t(0x56),
                                    i ? uint8_t(0) : uint8_t(0x4F), i ? uint8_t(0) : uint8_t(0x4B),
                                    i ? uint8_t(1) : uint8_t(0), 0, 0}))
                      .result,
                  8);
    }
    ASSERT_EQ(reply(tag)[0], 0);
    ASSERT_EQ(host.out(bytesOf({3, tag, 0, 0, 0, 0, 0, 0})).result, 8);
    EXPECT_EQ(reply(tag)[0], voksim::kStatusProtocolError) << "no reply is due";
    // A write of no words answers right after its header.
    Command write = writeMemory(0, {});
    EXPECT_EQ(runCommand(host, write).status, 0);
}

// As on a bus, the token runs one transaction at a time: another
// descriptor's phase-0 packet or port reset ends the open one.
TEST_F(ProtocolTest, AnotherOpenersPhase0OrResetEndsTheOpenTransaction) {
    Host other(node);
    const uint8_t first = open(0x31);
    ASSERT_EQ(other.out(bytesOf({0, 0x38, 1, 0, 0, 0, 0, 0})).result, 8);
    sendPins(first);
    EXPECT_EQ(reply(first)[0], voksim::kStatusProtocolError) << "the phase-0 packet ended it";

    const uint8_t second = open(0x31);
    ASSERT_EQ(other.reset().result, 0);
    sendPins(second);
    EXPECT_EQ(reply(second)[0], voksim::kStatusProtocolError) << "the reset ended it";
    expectTokenStillWorks();
}

TEST_F(ProtocolTest, TransactionsOfDifferentOpenersDoNotDisturbEachOtherWhenKeptApart) {
    ASSERT_TRUE(voksim::setSeparateTransactions(node, true));
    Host other(node);
    const uint8_t first = open(0x31);
    ASSERT_EQ(other.out(bytesOf({0, 0x32, 0, 0, 0, 0, 0, 0})).result, 8);
    std::vector<uint8_t> bytes;
    ASSERT_EQ(other.in(bytes, 8, 0).result, 8);
    const uint8_t second = bytes[2];
    EXPECT_NE(first, second);
    sendPins(first);
    EXPECT_EQ(reply(first)[0], 0);
    // The other opener's transaction still stands where it was.
    for (int i = 0; i < 8; ++i)
        ASSERT_EQ(other.out(bytesOf({1, second, 0, 0, 0, 0, 0, 0})).result, 8);
    ASSERT_EQ(other.in(bytes, 8, second).result, 8);
    EXPECT_EQ(bytes[0], 0);
    EXPECT_EQ(bytes[2], second);
}

TEST_F(ProtocolTest, TheLeastRecentlyUsedTransactionGivesWayWhenAllAreTaken) {
    ASSERT_TRUE(voksim::setSeparateTransactions(node, true));
    const uint8_t tag = open(0x31);
    std::vector<std::unique_ptr<Host>> others;
    for (unsigned i = 0; i < voksim::kMaxTransactions; ++i) {
        others.push_back(std::make_unique<Host>(node));
        ASSERT_EQ(others.back()->out(bytesOf({0, 0x31, 0, 0, 0, 0, 0, 0})).result, 8);
    }
    sendPins(tag);
    EXPECT_EQ(reply(tag)[0], voksim::kStatusProtocolError);
}

}  // namespace
