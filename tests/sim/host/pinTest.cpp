// PIN rules of the virtual token: which PIN each command needs, wrong
// attempts and lock-out, and the provisioning sequences the library runs.
#include <gtest/gtest.h>

#include <climits>

#include "sim/hostDriver.h"
#include "support/bytes.h"
#include "support/tempDir.h"
#include "voksim/voksim.h"

using namespace simtest;
using testsupport::bytesOf;
using testsupport::TempDir;

namespace {

class PinTest : public ::testing::Test {
  protected:
    TempDir tree;
    std::string node = voksim::createToken(tree.path(), 1, 2);

    uint8_t status(const Command& command) { return runCommand(node, command).status; }
    Command command(uint8_t code, const std::string& pin = "", std::vector<uint8_t> data = {}) {
        Command c;
        c.code = code;
        c.pin = pin;
        c.data = std::move(data);
        return c;
    }
    // The library's token provisioning above protocol level 21.
    void provisionMainPin(const std::string& pin) {
        ASSERT_EQ(status(command(0x33)), 0);
        ASSERT_EQ(status(setPin(0, 1, "", pin)), 0);
        ASSERT_EQ(status(blockCommand(0x3E, 1, "", bytesOf({1, 0}))), 0);
    }
};

TEST_F(PinTest, AboveLevel21TheMainPinIsBlockOnesUserPin) {
    provisionMainPin("1234");
    Outcome wrong = runCommand(node, readMemory(0, 1, "9999"));
    EXPECT_EQ(wrong.status, voksim::kStatusWrongPin);
    EXPECT_EQ(wrong.pinPhaseReply, 2) << "attempts left";
    Outcome right = runCommand(node, readMemory(0, 1, "1234"));
    EXPECT_EQ(right.status, 0);
    EXPECT_EQ(right.pinPhaseReply, 3);
    EXPECT_EQ(status(writeMemory(0, bytesOf({1, 2}))), voksim::kStatusWrongPin);
    EXPECT_EQ(status(writeMemory(0, bytesOf({1, 2}), "1234")), 0);
    EXPECT_EQ(status(command(0x3C, "", bytesOf({0, 4, 3, 30}))), voksim::kStatusWrongPin);
    EXPECT_EQ(status(command(0x33)), voksim::kStatusWrongPin);
    EXPECT_EQ(status(command(0x33, "1234")), 0);
    EXPECT_EQ(status(readMemory(0, 1)), 0) << "initialise-token cleared the main PIN";
}

TEST_F(PinTest, ASetMainPinGuardsInitialiseEvenWithPinUseOff) {
    ASSERT_EQ(status(setPin(0, 1, "", "1234")), 0);
    EXPECT_EQ(status(readMemory(0, 1)), 0) << "PIN use is off";
    EXPECT_EQ(status(command(0x33, "0000")), voksim::kStatusWrongPin);
    EXPECT_EQ(status(command(0x3C, "0000", bytesOf({0, 4, 3, 30}))), voksim::kStatusWrongPin);
}

TEST_F(PinTest, WrongAttemptsLockThePinOutUntilTheLockOutEnds) {
    provisionMainPin("1234");
    EXPECT_EQ(status(readMemory(0, 1, "1")), voksim::kStatusWrongPin);
    EXPECT_EQ(status(readMemory(0, 1, "1234")), 0) << "a right PIN resets the count";
    EXPECT_EQ(status(readMemory(0, 1, "1")), voksim::kStatusWrongPin);
    EXPECT_EQ(status(readMemory(0, 1, "2")), voksim::kStatusWrongPin);
    const int64_t before = time(nullptr);
    EXPECT_EQ(status(readMemory(0, 1, "3")), voksim::kStatusPinLockedOut);
    const int64_t after = time(nullptr);
    EXPECT_EQ(status(readMemory(0, 1, "1234")), voksim::kStatusPinLockedOut);
    auto state = voksim::readState(node);
    ASSERT_TRUE(state);
    const int64_t until = state->blocks[0].pins[0].lockedUntil;
    EXPECT_GE(until, before + 30) << "30 s from the third wrong attempt";
    EXPECT_LE(until, after + 30);
    ASSERT_TRUE(voksim::modifyState(node, [](voksim::TokenState& s) {
        s.blocks[0].pins[0].lockedUntil = 1;  // the lock-out has run out
    }));
    EXPECT_EQ(status(readMemory(0, 1, "1234")), 0);
}

TEST_F(PinTest, WithTheFlagSetALockOutLastsUntilTheOwnerIsInitialised) {
    ASSERT_EQ(status(command(0x3C, "", bytesOf({1, 4, 1, 15}))), 0);
    ASSERT_EQ(status(setPin(1, 2, "", "admin")), 0);
    ASSERT_EQ(status(setPin(0, 2, "admin", "user")), 0);
    ASSERT_EQ(status(blockCommand(0x3E, 2, "admin", bytesOf({1, 0}))), 0);
    Command read = blockCommand(0x34, 2, "wrong");
    read.wordCount = 1;
    EXPECT_EQ(status(read), voksim::kStatusPinLockedOut);
    EXPECT_EQ(voksim::readState(node)->blocks[1].pins[0].lockedUntil, INT64_MAX);
    EXPECT_EQ(runCommand(node, blockCommand(0x3A, 2)).data[1] & 0x04, 0x04);
    Command init = blockCommand(0x3F, 2, "admin");
    init.blockByte |= 0x80;
    EXPECT_EQ(status(init), 0);
    read.pin = "";
    EXPECT_EQ(status(read), 0);
}

TEST_F(PinTest, NewPinsMustHaveTheMinimumLengthAndAtMost31Bytes) {
    EXPECT_EQ(status(setPin(0, 2, "", "123")), voksim::kStatusBadParameter);
    EXPECT_EQ(status(setPin(0, 2, "", std::string(32, 'x'))), voksim::kStatusBadParameter);
    EXPECT_EQ(status(setPin(0, 2, "", std::string(31, 'x'))), 0);
    ASSERT_EQ(status(command(0x3C, "", bytesOf({0, 2, 3, 30}))), 0);
    EXPECT_EQ(status(setPin(0, 3, "", "12")), 0);
}

TEST_F(PinTest, BlockPinUseGuardsOnlyThatBlocksMemoryCommands) {
    EXPECT_EQ(status(blockCommand(0x3E, 2, "", bytesOf({1, 0}))), voksim::kStatusAccessDenied)
        << "PIN use without a user PIN";
    ASSERT_EQ(status(setPin(0, 2, "", "user")), 0);
    ASSERT_EQ(status(blockCommand(0x3E, 2, "", bytesOf({1, 0}))), 0);
    Command write = blockCommand(0x35, 2, "", bytesOf({1, 2}));
    write.wordCount = 1;
    EXPECT_EQ(status(write), voksim::kStatusWrongPin);
    write.pin = "user";
    EXPECT_EQ(status(write), 0);
    Command other = blockCommand(0x34, 3);
    other.wordCount = 1;
    EXPECT_EQ(status(other), 0);
    EXPECT_EQ(status(readMemory(0, 1)), 0) << "block 2's PIN is not the main PIN";
    // With PIN use on, administration needs the user PIN.
    EXPECT_EQ(status(blockCommand(0x37, 2, "", bytesOf({1, 0}))), voksim::kStatusWrongPin);
    EXPECT_EQ(status(blockCommand(0x37, 2, "user", bytesOf({1, 0}))), 0);
}

TEST_F(PinTest, AnAdministratorPinGuardsTheBlocksAdministration) {
    ASSERT_EQ(status(setPin(1, 3, "ignored", "admin")), 0);
    EXPECT_EQ(status(blockCommand(0x37, 3, "", bytesOf({1, 0}))), voksim::kStatusWrongPin);
    EXPECT_EQ(status(blockCommand(0x37, 3, "admin", bytesOf({1, 0}))), 0);
    EXPECT_EQ(status(blockCommand(0x39, 3, "user", bytesOf({1}))), voksim::kStatusWrongPin);
    EXPECT_EQ(status(blockCommand(0x3B, 3, "admin", bytesOf({1}))), 0);
    EXPECT_EQ(status(blockCommand(0x3B, 3, "admin", bytesOf({0}))), 0);
    EXPECT_EQ(status(setPin(1, 3, "wrong", "other")), voksim::kStatusWrongPin);
    EXPECT_EQ(status(setPin(1, 3, "admin", "other")), 0);
    EXPECT_EQ(runCommand(node, blockCommand(0x3A, 3)).data[1], 0x02) << "admin PIN set";
}

TEST_F(PinTest, PinSetPermissionsDecideWhoChangesTheUserPin) {
    ASSERT_EQ(status(setPin(0, 2, "", "user1")), 0);
    EXPECT_EQ(status(setPin(0, 2, "wrong", "user2")), voksim::kStatusWrongPin);
    EXPECT_EQ(status(setPin(0, 2, "user1", "user2")), 0);

    ASSERT_EQ(status(setPin(1, 2, "", "admin")), 0);
    ASSERT_EQ(status(blockCommand(0x3E, 2, "admin", bytesOf({0, 1}))), 0);
    EXPECT_EQ(status(setPin(0, 2, "user2", "user3")), voksim::kStatusWrongPin);
    EXPECT_EQ(status(setPin(0, 2, "admin", "user3")), 0);

    ASSERT_EQ(status(blockCommand(0x3E, 2, "admin", bytesOf({0, 2}))), 0);
    EXPECT_EQ(status(setPin(0, 2, "admin", "user4")), voksim::kStatusAccessDenied);
    EXPECT_EQ(status(blockCommand(0x3E, 2, "admin", bytesOf({0, 3}))), voksim::kStatusBadParameter);
}

TEST_F(PinTest, InitialiseBlockNeedsTheAdministratorPinOnceOneIsSet) {
    ASSERT_EQ(status(setPin(1, 4, "", "admin")), 0);
    EXPECT_EQ(status(blockCommand(0x3F, 4, "admin")), voksim::kStatusAccessDenied)
        << "PIN kind 0 may not initialise a block with an administrator PIN";
    Command init = blockCommand(0x3F, 4, "wrong");
    init.blockByte |= 0x80;
    EXPECT_EQ(status(init), voksim::kStatusWrongPin);
    init.pin = "admin";
    EXPECT_EQ(status(init), 0);
    EXPECT_EQ(runCommand(node, blockCommand(0x3A, 4)).data[1], 0);
}

TEST_F(PinTest, BlockProvisioningRunsWithoutAPinOnAFreshBlock) {
    ASSERT_EQ(status(setPin(0, 3, "", "old-pin")), 0);
    ASSERT_EQ(status(blockCommand(0x3F, 3, "old-pin")), 0);
    EXPECT_EQ(status(blockCommand(0x37, 3, "", bytesOf({0x34, 0x12}))), 0);
    EXPECT_EQ(status(setPin(0, 3, "", "new-pin")), 0);
    EXPECT_EQ(status(blockCommand(0x3E, 3, "", bytesOf({1, 0}))), 0);
    Command read = blockCommand(0x34, 3);
    read.wordCount = 1;
    EXPECT_EQ(status(read), voksim::kStatusWrongPin);
    read.pin = "new-pin";
    EXPECT_EQ(status(read), 0);
}

TEST(MemoryPinTest, AtLevel21TheMainPinLivesInMemory) {
    TempDir tree;
    voksim::Identity identity;
    identity.protocolLevel = 21;
    const std::string node = voksim::createToken(tree.path(), 1, 2, identity);
    // The library's provisioning: PIN at 4062, control word (length 4, PIN use) at 4094.
    ASSERT_EQ(runCommand(node, writeMemory(2031, bytesOf({'a', 'b', 'c', 'd'}))).status, 0);
    ASSERT_EQ(runCommand(node, writeMemory(2047, bytesOf({0x09, 0x00}))).status, 0);
    EXPECT_EQ(runCommand(node, readMemory(0, 1)).status, voksim::kStatusWrongPin);
    EXPECT_EQ(runCommand(node, readMemory(0, 1, "abcd")).status, 0);
    Command init;
    init.code = 0x33;
    EXPECT_EQ(runCommand(node, init).status, voksim::kStatusWrongPin);
    init.pin = "abcd";
    EXPECT_EQ(runCommand(node, init).status, 0);
    EXPECT_EQ(runCommand(node, readMemory(0, 1)).status, 0);
    // Block 1's PINs are block PINs at this level.
    EXPECT_EQ(runCommand(node, setPin(0, 1, "", "blockpin")).status, 0);
    EXPECT_EQ(runCommand(node, readMemory(0, 1)).status, 0);
}

TEST(MemoryPinTest, PinUseWithoutALengthProtectsNothing) {
    TempDir tree;
    voksim::Identity identity;
    identity.protocolLevel = 21;
    const std::string node = voksim::createToken(tree.path(), 1, 2, identity);
    ASSERT_EQ(runCommand(node, writeMemory(2047, bytesOf({0x01, 0x00}))).status, 0);
    EXPECT_EQ(runCommand(node, readMemory(0, 1)).status, 0);
    // A length above 32 is not a PIN either.
    ASSERT_EQ(runCommand(node, writeMemory(2047, bytesOf({0x43, 0x00}))).status, 0);
    EXPECT_EQ(runCommand(node, readMemory(0, 1)).status, 0);
}

}  // namespace
