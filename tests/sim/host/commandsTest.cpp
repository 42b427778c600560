// Every command of the virtual token, driven through real ioctl calls.
#include <gtest/gtest.h>

#include "sim/hostDriver.h"
#include "support/bytes.h"
#include "support/tempDir.h"
#include "voksim/voksim.h"

using namespace simtest;
using testsupport::bytesOf;
using testsupport::TempDir;

namespace {

class CommandsTest : public ::testing::Test {
  protected:
    TempDir tree;
    std::string node = voksim::createToken(tree.path(), 1, 2);
};

TEST_F(CommandsTest, InfoAnswersTheIdentityInASixteenByteReply) {
    ASSERT_FALSE(node.empty());
    Outcome info = runCommand(node, Command{});
    ASSERT_EQ(info.transportError, 0);
    EXPECT_EQ(info.status, 0);
    ASSERT_EQ(info.phase0Reply.size(), 16u);
    EXPECT_EQ(info.phase0Reply[1], 0x01);  // flagA set, flagB clear
    EXPECT_NE(info.phase0Reply[2], 0);
    EXPECT_EQ(std::vector<uint8_t>(info.phase0Reply.begin() + 3, info.phase0Reply.begin() + 8),
              bytesOf({0x12, 2, 22, 0, 16}));
    EXPECT_EQ(info.data, bytesOf({0x56, 0x4F, 0x4B, 0, 0, 0, 0, 1}));
}

TEST_F(CommandsTest, TheTagChangesFromTransactionToTransactionUnlessFixed) {
    const uint8_t first = runCommand(node, Command{}).tag;
    const uint8_t second = runCommand(node, Command{}).tag;
    EXPECT_NE(first, second);
    voksim::Faults faults;
    faults.fixedTag = 0x5A;
    ASSERT_TRUE(voksim::setFaults(node, faults));
    EXPECT_EQ(runCommand(node, Command{}).tag, 0x5A);
    EXPECT_EQ(runCommand(node, readMemory(0, 2)).tag, 0x5A);
}

TEST_F(CommandsTest, MemoryWrittenIsReadBackAndAnOddReadCarriesTheNextWord) {
    ASSERT_EQ(runCommand(node, writeMemory(8, bytesOf({1, 2, 3, 4, 5, 6, 7, 8}))).status, 0);
    Outcome read = runCommand(node, readMemory(8, 3));
    EXPECT_EQ(read.status, 0);
    EXPECT_EQ(read.data, bytesOf({1, 2, 3, 4, 5, 6, 7, 8}));
    // The last word of memory has no successor: the filler word is zero.
    ASSERT_EQ(runCommand(node, writeMemory(2046, bytesOf({9, 9, 9, 9}))).status, 0);
    EXPECT_EQ(runCommand(node, readMemory(2047, 1)).data, bytesOf({9, 9, 0, 0}));
}

TEST_F(CommandsTest, ATransferPastTheEndOfMemoryIsOutOfRange) {
    EXPECT_EQ(runCommand(node, readMemory(2047, 2)).status, voksim::kStatusOutOfRange);
    EXPECT_EQ(runCommand(node, readMemory(0xFFFF, 0xFFFF)).status, voksim::kStatusOutOfRange);
    Outcome write = runCommand(node, writeMemory(2047, bytesOf({1, 2, 3, 4})));
    EXPECT_EQ(write.status, voksim::kStatusOutOfRange);
    EXPECT_EQ(runCommand(node, readMemory(2047, 1)).data, bytesOf({0, 0, 0, 0}));
    EXPECT_EQ(runCommand(node, readMemory(0, 2048)).status, 0);
}

TEST_F(CommandsTest, BlockCommandsAddressTheirBlocksRegion) {
    Command write = blockCommand(0x35, 2, "", bytesOf({0xAB, 0xCD, 0xEF, 0x01}));
    write.wordOffset = 1;
    write.wordCount = 2;
    ASSERT_EQ(runCommand(node, write).status, 0);
    // Block 2 starts at byte 1014 of the default 4096-byte token.
    EXPECT_EQ(runCommand(node, readMemory(508, 2)).data, bytesOf({0xAB, 0xCD, 0xEF, 0x01}));
    Command read = blockCommand(0x34, 2);
    read.wordOffset = 1;
    read.wordCount = 2;
    EXPECT_EQ(runCommand(node, read).data, bytesOf({0xAB, 0xCD, 0xEF, 0x01}));
    // 507 words per block: the last word is readable, one more is not, and
    // the filler word of an odd read at the block's end is zero.
    read.wordOffset = 506;
    read.wordCount = 1;
    Outcome last = runCommand(node, read);
    EXPECT_EQ(last.status, 0);
    EXPECT_EQ(last.data[2], 0);
    read.wordCount = 2;
    EXPECT_EQ(runCommand(node, read).status, voksim::kStatusOutOfRange);
}

TEST_F(CommandsTest, ABlockOutsideOneToFourIsRefusedInPhaseZero) {
    for (unsigned block : {0u, 5u, 0x7Fu}) {
        Outcome outcome = runCommand(node, blockCommand(0x38, block));
        EXPECT_EQ(outcome.status, voksim::kStatusBadBlock) << block;
        EXPECT_EQ(outcome.phase0Reply[2], 0) << "no tag on a refusal";
        EXPECT_EQ(runCommand(node, blockCommand(0x34, block)).status, voksim::kStatusBadBlock);
    }
}

TEST_F(CommandsTest, VendorIdsAreSetAndReadPerBlock) {
    EXPECT_EQ(runCommand(node, blockCommand(0x37, 3, "", bytesOf({0x34, 0x12}))).status, 0);
    EXPECT_EQ(runCommand(node, blockCommand(0x38, 3)).data,
              bytesOf({0x34, 0x12, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(runCommand(node, blockCommand(0x38, 2)).data[0], 0);
    EXPECT_EQ(runCommand(node, blockCommand(0x37, 3, "", bytesOf({0xFF, 0xFF}))).status,
              voksim::kStatusBadParameter);
}

TEST_F(CommandsTest, AttributesControlBlockAccessAndAreReported) {
    Outcome set = runCommand(node, blockCommand(0x39, 1, "x", bytesOf({1})));
    ASSERT_EQ(set.status, 0);
    EXPECT_EQ(set.data, bytesOf({0x01, 0x00, 0xFB, 0x01}));  // read only; 507 words
    Command write = blockCommand(0x35, 1, "", bytesOf({1, 2}));
    write.wordCount = 1;
    EXPECT_EQ(runCommand(node, write).status, voksim::kStatusAccessDenied);
    Command read = blockCommand(0x34, 1);
    read.wordCount = 1;
    EXPECT_EQ(runCommand(node, read).status, 0);
    ASSERT_EQ(runCommand(node, blockCommand(0x39, 1, "x", bytesOf({2}))).status, 0);
    EXPECT_EQ(runCommand(node, read).status, voksim::kStatusAccessDenied);
    EXPECT_EQ(runCommand(node, blockCommand(0x39, 1, "x", bytesOf({4}))).status,
              voksim::kStatusBadParameter);

    ASSERT_EQ(runCommand(node, blockCommand(0x37, 4, "", bytesOf({0x22, 0x11}))).status, 0);
    Outcome get = runCommand(node, blockCommand(0x3A, 4));
    // attributes 0x0003, vendor 0x1122, start word 1521, size 507 words
    EXPECT_EQ(get.data, bytesOf({0x03, 0x00, 0x22, 0x11, 0xF1, 0x05, 0xFB, 0x01}));
}

TEST_F(CommandsTest, ALockedBlockRefusesChangesUntilUnlocked) {
    ASSERT_EQ(runCommand(node, blockCommand(0x3B, 2, "x", bytesOf({1}))).status, 0);
    EXPECT_EQ(runCommand(node, blockCommand(0x3A, 2)).data[0], 0x07);
    Command write = blockCommand(0x35, 2, "", bytesOf({1, 2}));
    write.wordCount = 1;
    EXPECT_EQ(runCommand(node, write).status, voksim::kStatusBlockLocked);
    // A whole-memory write that touches the block is refused too; one beside it is not.
    EXPECT_EQ(runCommand(node, writeMemory(506, bytesOf({1, 2, 3, 4}))).status,
              voksim::kStatusBlockLocked);
    EXPECT_EQ(runCommand(node, writeMemory(505, bytesOf({1, 2, 3, 4}))).status, 0);
    EXPECT_EQ(runCommand(node, blockCommand(0x37, 2, "", bytesOf({1, 0}))).status,
              voksim::kStatusBlockLocked);
    EXPECT_EQ(runCommand(node, blockCommand(0x39, 2, "x", bytesOf({3}))).status,
              voksim::kStatusBlockLocked);
    EXPECT_EQ(runCommand(node, blockCommand(0x3B, 2, "x", bytesOf({2}))).status,
              voksim::kStatusBadParameter);
    ASSERT_EQ(runCommand(node, blockCommand(0x3B, 2, "x", bytesOf({0}))).status, 0);
    EXPECT_EQ(runCommand(node, write).status, 0);
}

TEST_F(CommandsTest, SecurityParametersAreValidatedAndKept) {
    Command get;
    get.code = 0x3D;
    EXPECT_EQ(runCommand(node, get).data, bytesOf({0, 4, 3, 30, 0, 0, 0, 0}));
    Command set;
    set.code = 0x3C;
    set.pin = "any";
    for (auto bad : {bytesOf({16, 1, 1, 15}), bytesOf({0, 0, 1, 15}), bytesOf({0, 32, 1, 15}),
                     bytesOf({0, 1, 0, 15}), bytesOf({0, 1, 11, 15}), bytesOf({0, 1, 1, 14}),
                     bytesOf({0, 1, 1, 61})}) {
        set.data = bad;
        EXPECT_EQ(runCommand(node, set).status, voksim::kStatusBadParameter);
    }
    set.data = bytesOf({15, 31, 10, 60});
    EXPECT_EQ(runCommand(node, set).status, 0);
    EXPECT_EQ(runCommand(node, get).data, bytesOf({15, 31, 10, 60, 0, 0, 0, 0}));
    set.data = bytesOf({0, 1, 1, 15});
    EXPECT_EQ(runCommand(node, set).status, 0);
}

TEST_F(CommandsTest, InitialiseTokenRestoresTheDefaultsAndKeepsTheIdentity) {
    ASSERT_EQ(runCommand(node, writeMemory(0, bytesOf({7, 7}))).status, 0);
    ASSERT_EQ(runCommand(node, blockCommand(0x37, 1, "", bytesOf({5, 0}))).status, 0);
    Command set;
    set.code = 0x3C;
    set.data = bytesOf({1, 8, 5, 20});
    ASSERT_EQ(runCommand(node, set).status, 0);
    Command init;
    init.code = 0x33;
    ASSERT_EQ(runCommand(node, init).status, 0);
    EXPECT_EQ(runCommand(node, readMemory(0, 1)).data, bytesOf({0, 0, 0, 0}));
    EXPECT_EQ(runCommand(node, blockCommand(0x38, 1)).data[0], 0);
    Command get;
    get.code = 0x3D;
    EXPECT_EQ(runCommand(node, get).data[1], 4);
    EXPECT_EQ(runCommand(node, Command{}).data, bytesOf({0x56, 0x4F, 0x4B, 0, 0, 0, 0, 1}));
}

TEST_F(CommandsTest, AWrongTokenIdentifierAndAnUnknownCommandAreRefusedAfterPhaseTwo) {
    Command read = readMemory(0, 1);
    read.tokenId = bytesOf({1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(runCommand(node, read).status, voksim::kStatusWrongTokenId);
    Command unknown;
    unknown.code = 0x40;
    Outcome outcome = runCommand(node, unknown);
    EXPECT_EQ(outcome.transportError, 0);
    EXPECT_EQ(outcome.status, voksim::kStatusUnknownCommand);
    unknown.code = 0x00;
    EXPECT_EQ(runCommand(node, unknown).status, voksim::kStatusUnknownCommand);
}

TEST_F(CommandsTest, ATokenOfSixteenByteUnitsMapsItsBlocksBelowThePinArea) {
    voksim::Identity identity;
    identity.memoryModel = 1;
    identity.memoryUnits = 16;
    identity.protocolLevel = 21;
    const std::string small = voksim::createToken(tree.path(), 1, 3, identity);
    Command write = blockCommand(0x35, 4, "", bytesOf({0x11, 0x22}));
    write.wordCount = 1;
    ASSERT_EQ(runCommand(small, write).status, 0);
    EXPECT_EQ(runCommand(small, readMemory(81, 1)).data, bytesOf({0x11, 0x22, 0, 0}));
    write.wordOffset = 27;  // 54-byte blocks: word 27 is past the end
    EXPECT_EQ(runCommand(small, write).status, voksim::kStatusOutOfRange);
    EXPECT_EQ(runCommand(small, readMemory(0, 128)).status, 0);
    EXPECT_EQ(runCommand(small, readMemory(0, 129)).status, voksim::kStatusOutOfRange);
}

}  // namespace
