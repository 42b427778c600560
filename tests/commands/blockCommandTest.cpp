// The block, PIN and security commands: what each sends, what it returns, and
// that outputs are written on success only.
#include <cstring>
#include <string>
#include <vector>

#include "commandTestSupport.h"

namespace vok_test {
namespace {

class BlockCommandTest : public TokenTest {
  protected:
    std::vector<uint8_t> tokenId() const {
        return std::vector<uint8_t>(device_->info.tokenId, device_->info.tokenId + 8);
    }

    // The one transaction the last call sent.
    SentTransaction only() const {
        const std::vector<SentTransaction> transactions = sent();
        EXPECT_EQ(transactions.size(), 1u);
        return transactions.empty() ? SentTransaction{} : transactions.front();
    }

    voksim::TokenState state() const {
        std::optional<voksim::TokenState> current = voksim::readState(node_);
        EXPECT_TRUE(current.has_value());
        return current.value_or(voksim::TokenState{});
    }

    void failNextTransaction() {
        voksim::Faults faults;
        faults.statusPhase = 0;
        faults.statusValue = voksim::kStatusAccessDenied;
        setFaults(faults);
    }

    const std::string pin_ = "pin-1234";
};

TEST_F(BlockCommandTest, InitializeSendsThePinAndTokenIdentifier) {
    VokIdResponse response = sentinelResponse();
    ASSERT_EQ(vokIdInitializeCmd(device_, pin_.data(), 8, &response), 0);

    const SentTransaction t = only();
    EXPECT_EQ(t.command, 0x33);
    EXPECT_EQ(t.blockByte, 0);
    EXPECT_EQ(t.pin, pinField(pin_));
    EXPECT_EQ(t.tokenId, tokenId());
    EXPECT_FALSE(t.hasHeader);
    EXPECT_TRUE(t.parameter.empty());
    EXPECT_EQ(response.status, 0);
}

TEST_F(BlockCommandTest, InitializeBlockSetsBlockAndPinKindInOneByte) {
    VokIdResponse response = sentinelResponse();
    ASSERT_EQ(
        vokIdInitializeBlockCmd(device_, VOK_PIN_ADMIN, VOK_BLOCK_3, pin_.data(), 8, &response), 0);

    const SentTransaction t = only();
    EXPECT_EQ(t.command, 0x3F);
    EXPECT_EQ(t.blockByte, 0x83);
    EXPECT_EQ(t.pin, pinField(pin_));
    EXPECT_EQ(t.tokenId, tokenId());
    EXPECT_TRUE(t.parameter.empty());
}

TEST_F(BlockCommandTest, GetVendorIdSendsNeitherPinNorIdentifierAndReturnsTheId) {
    ASSERT_TRUE(
        voksim::modifyState(node_, [](voksim::TokenState& s) { s.blocks[1].vendorId = 0xBEEF; }));
    uint16_t vendorId = 0;
    VokIdResponse response = sentinelResponse();

    ASSERT_EQ(vokIdGetVendorIdCmd(device_, VOK_BLOCK_2, &vendorId, &response), 0);

    EXPECT_EQ(vendorId, 0xBEEF);
    const SentTransaction t = only();
    EXPECT_EQ(t.command, 0x38);
    EXPECT_EQ(t.blockByte, 2);
    EXPECT_TRUE(t.pin.empty());
    EXPECT_TRUE(t.tokenId.empty());
    EXPECT_EQ(response.status, 0);
}

TEST_F(BlockCommandTest, SetVendorIdSendsTheIdLittleEndian) {
    VokIdResponse response = sentinelResponse();
    ASSERT_EQ(vokIdSetVendorIdCmd(device_, VOK_BLOCK_4, nullptr, 40, 0x1234, &response), 0);

    const SentTransaction t = only();
    EXPECT_EQ(t.command, 0x37);
    EXPECT_EQ(t.blockByte, 4);
    EXPECT_EQ(t.pin, zeroPinField());
    EXPECT_EQ(t.tokenId, tokenId());
    EXPECT_EQ(t.parameter, bytesOf({0x34, 0x12, 0, 0}));
    EXPECT_EQ(state().blocks[3].vendorId, 0x1234);
}

TEST_F(BlockCommandTest, OnlyTheLowSevenBitsOfTheBlockAreSent) {
    VokIdResponse response = sentinelResponse();
    EXPECT_EQ(vokIdSetVendorIdCmd(device_, static_cast<BLOCK_ID>(0x85), nullptr, 0, 1, &response),
              voksim::kStatusBadBlock);
    EXPECT_EQ(only().blockByte, 0x05);
    EXPECT_EQ(response.status, voksim::kStatusBadBlock);
}

TEST_F(BlockCommandTest, GetBlockAttrReturnsTheAttributeWord) {
    ASSERT_TRUE(voksim::modifyState(node_, [](voksim::TokenState& s) {
        s.blocks[0].permissions = 1;
        s.blocks[0].locked = 1;
    }));
    uint16_t attributes = 0xFFFF;
    VokIdResponse response = sentinelResponse();

    ASSERT_EQ(vokIdGetBlockAttrCmd(device_, VOK_BLOCK_1, &attributes, &response), 0);

    EXPECT_EQ(attributes, voksim::kAttrLocked | 1);
    const SentTransaction t = only();
    EXPECT_EQ(t.command, 0x3A);
    EXPECT_EQ(t.blockByte, 1);
    EXPECT_TRUE(t.pin.empty());
    EXPECT_TRUE(t.tokenId.empty());
}

TEST_F(BlockCommandTest, SetBlockAttrSendsThePermissionsAndReturnsTheNewWord) {
    uint16_t attributes = 0xFFFF;
    VokIdResponse response = sentinelResponse();

    ASSERT_EQ(vokIdSetBlockAttrCmd(device_, VOK_BLOCK_2, pin_.data(), 8, VOK_RW_READ, &attributes,
                                   &response),
              0);

    EXPECT_EQ(attributes, 0x0001);
    const SentTransaction t = only();
    EXPECT_EQ(t.command, 0x39);
    EXPECT_EQ(t.blockByte, 2);
    EXPECT_EQ(t.pin, pinField(pin_));
    EXPECT_EQ(t.tokenId, tokenId());
    EXPECT_EQ(t.parameter, bytesOf({1, 0, 0, 0}));
    EXPECT_EQ(state().blocks[1].permissions, 1);
}

TEST_F(BlockCommandTest, LockBlockSendsTheAccessValue) {
    VokIdResponse response = sentinelResponse();
    ASSERT_EQ(vokLockBlockCmd(device_, VOK_BLOCK_3, pin_.data(), 8, VOK_ACCESS_LOCKED, &response),
              0);

    const SentTransaction t = only();
    EXPECT_EQ(t.command, 0x3B);
    EXPECT_EQ(t.blockByte, 3);
    EXPECT_EQ(t.pin, pinField(pin_));
    EXPECT_EQ(t.tokenId, tokenId());
    EXPECT_EQ(t.parameter, bytesOf({1, 0, 0, 0}));
    EXPECT_EQ(state().blocks[2].locked, 1);
}

TEST_F(BlockCommandTest, SetSecParametersSendsTheFourBytesInArgumentOrder) {
    VokIdResponse response = sentinelResponse();
    ASSERT_EQ(vokIdSetSecParametersCmd(device_, pin_.data(), 8, 1, 5, 4, 20, &response), 0);

    const SentTransaction t = only();
    EXPECT_EQ(t.command, 0x3C);
    EXPECT_EQ(t.blockByte, 0);
    EXPECT_EQ(t.pin, pinField(pin_));
    EXPECT_EQ(t.tokenId, tokenId());
    EXPECT_EQ(t.parameter, bytesOf({1, 5, 4, 20}));
    const voksim::TokenState s = state();
    EXPECT_EQ(
        bytesOf({s.secParameters[0], s.secParameters[1], s.secParameters[2], s.secParameters[3]}),
        bytesOf({1, 5, 4, 20}));
}

TEST_F(BlockCommandTest, GetSecParametersReturnsTheFourBytesInArgumentOrder) {
    ASSERT_TRUE(voksim::modifyState(node_, [](voksim::TokenState& s) {
        const uint8_t values[4] = {9, 8, 7, 33};
        std::memcpy(s.secParameters, values, 4);
    }));
    uint8_t p1 = 0, p2 = 0, p3 = 0, p4 = 0;
    VokIdResponse response = sentinelResponse();

    ASSERT_EQ(vokIdGetSecParametersCmd(device_, &p1, &p2, &p3, &p4, &response), 0);

    EXPECT_EQ(bytesOf({p1, p2, p3, p4}), bytesOf({9, 8, 7, 33}));
    const SentTransaction t = only();
    EXPECT_EQ(t.command, 0x3D);
    EXPECT_EQ(t.blockByte, 0);
    EXPECT_TRUE(t.pin.empty());
    EXPECT_TRUE(t.tokenId.empty());
}

TEST_F(BlockCommandTest, SetPinSendsTheNewPinLengthAndTheNewPin) {
    const std::string newPin = "secret";
    VokIdResponse response = sentinelResponse();

    ASSERT_EQ(vokIdSetPinCmd(device_, VOK_PIN_ADMIN, VOK_BLOCK_3, pin_.data(), 8, newPin.data(), 6,
                             &response),
              0);

    const SentTransaction t = only();
    EXPECT_EQ(t.command, 0x36);
    EXPECT_EQ(t.blockByte, 0x83);
    EXPECT_EQ(t.pin, pinField(pin_));
    EXPECT_EQ(t.tokenId, tokenId());
    ASSERT_EQ(t.parameter.size(), 4u);
    EXPECT_EQ(t.parameter[0], 6);  // the rest of the packet is filler
    EXPECT_EQ(t.newPin, pinField(newPin));
    const voksim::PinSlot& admin = state().blocks[2].pins[voksim::kPinKindAdmin];
    EXPECT_EQ(admin.length, 6);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(admin.value), 6), newPin);
}

TEST_F(BlockCommandTest, SetPinAcceptsNewPinsOfOneToThirtyOneBytes) {
    const std::string longest(31, 'x');
    VokIdResponse response = sentinelResponse();
    ASSERT_EQ(vokIdSetPinCmd(device_, VOK_PIN_USER, VOK_BLOCK_1, nullptr, 0, longest.data(), 31,
                             &response),
              0);
    EXPECT_EQ(only().newPin, pinField(longest));

    // Shorter than the token's minimum: the builder sends it, and the token
    // refuses it on seeing its length, before the PIN itself.
    clearLog();
    EXPECT_EQ(vokIdSetPinCmd(device_, VOK_PIN_USER, VOK_BLOCK_2, nullptr, 0, "z", 1, &response),
              voksim::kStatusBadParameter);
    const SentTransaction t = only();
    ASSERT_EQ(t.parameter.size(), 4u);
    EXPECT_EQ(t.parameter[0], 1);
    EXPECT_TRUE(t.newPin.empty());
}

TEST_F(BlockCommandTest, SetPinRefusesAMissingOrOversizedNewPin) {
    const std::string tooLong(32, 'x');
    VokIdResponse response = sentinelResponse();
    EXPECT_EQ(vokIdSetPinCmd(device_, VOK_PIN_USER, VOK_BLOCK_1, nullptr, 0, nullptr, 6, &response),
              3);
    EXPECT_EQ(vokIdSetPinCmd(device_, VOK_PIN_USER, VOK_BLOCK_1, nullptr, 0, "abc", 0, &response),
              3);
    EXPECT_EQ(vokIdSetPinCmd(device_, VOK_PIN_USER, VOK_BLOCK_1, nullptr, 0, tooLong.data(), 32,
                             &response),
              3);
    EXPECT_EQ(vokIdSetPinCmd(device_, VOK_PIN_USER, VOK_BLOCK_1, nullptr, 0, tooLong.data(),
                             0x10000 + 6, &response),
              3);
    EXPECT_TRUE(isSentinel(response));
    EXPECT_EQ(transferCount(), 0u);
}

TEST_F(BlockCommandTest, SetBlockPinUseSendsBothValues) {
    ASSERT_TRUE(voksim::modifyState(node_, [](voksim::TokenState& s) {
        s.blocks[0].pins[voksim::kPinKindUser].length = 4;  // PIN use needs a user PIN
        std::memcpy(s.blocks[0].pins[voksim::kPinKindUser].value, "abcd", 4);
    }));
    VokIdResponse response = sentinelResponse();

    ASSERT_EQ(vokIdSetBlockPinUseCmd(device_, VOK_BLOCK_1, nullptr, 0, VOK_PIN_USE_ON,
                                     VOK_PIN_SET_NEVER, &response),
              0);

    const SentTransaction t = only();
    EXPECT_EQ(t.command, 0x3E);
    EXPECT_EQ(t.blockByte, 1);
    EXPECT_EQ(t.pin, zeroPinField());
    EXPECT_EQ(t.tokenId, tokenId());
    EXPECT_EQ(t.parameter, bytesOf({1, 2, 0, 0}));
    EXPECT_EQ(state().blocks[0].pinUse, 1);
    EXPECT_EQ(state().blocks[0].pinSetPermission, 2);
}

TEST_F(BlockCommandTest, GettersLeaveTheirOutputsWhenTheTransactionFails) {
    failNextTransaction();
    uint16_t vendorId = 0x5A5A;
    uint16_t attributes = 0x5A5A;
    uint8_t p[4] = {0x5A, 0x5A, 0x5A, 0x5A};
    VokIdResponse response = sentinelResponse();

    EXPECT_EQ(vokIdGetVendorIdCmd(device_, VOK_BLOCK_1, &vendorId, &response),
              voksim::kStatusAccessDenied);
    EXPECT_EQ(response.status, voksim::kStatusAccessDenied);
    response = sentinelResponse();
    EXPECT_EQ(vokIdGetBlockAttrCmd(device_, VOK_BLOCK_1, &attributes, &response),
              voksim::kStatusAccessDenied);
    EXPECT_EQ(response.status, voksim::kStatusAccessDenied);
    response = sentinelResponse();
    EXPECT_EQ(vokIdGetSecParametersCmd(device_, &p[0], &p[1], &p[2], &p[3], &response),
              voksim::kStatusAccessDenied);
    EXPECT_EQ(response.status, voksim::kStatusAccessDenied);

    EXPECT_EQ(vendorId, 0x5A5A);
    EXPECT_EQ(attributes, 0x5A5A);
    EXPECT_EQ(bytesOf({p[0], p[1], p[2], p[3]}), bytesOf({0x5A, 0x5A, 0x5A, 0x5A}));
}

TEST_F(BlockCommandTest, SetBlockAttrLeavesTheAttributesWhenTheTokenRefuses) {
    ASSERT_TRUE(voksim::modifyState(node_, [](voksim::TokenState& s) { s.blocks[1].locked = 1; }));
    uint16_t attributes = 0x5A5A;
    VokIdResponse response = sentinelResponse();

    EXPECT_EQ(vokIdSetBlockAttrCmd(device_, VOK_BLOCK_2, pin_.data(), 8, VOK_RW_NONE, &attributes,
                                   &response),
              voksim::kStatusBlockLocked);

    EXPECT_EQ(attributes, 0x5A5A);
    EXPECT_EQ(response.status, voksim::kStatusBlockLocked);
}

TEST_F(BlockCommandTest, AResponseIsWrittenAfterATransactionThatFailedBeforeAnyReply) {
    voksim::Faults faults;
    faults.failTransfer = 1;
    setFaults(faults);
    VokIdResponse response = sentinelResponse();

    EXPECT_EQ(vokIdSetVendorIdCmd(device_, VOK_BLOCK_1, nullptr, 0, 0x1234, &response), 5);

    // Only the status came from the transaction; the rest of the zeroed
    // record was never filled.
    const VokIdResponse expected{5, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(&response, &expected, sizeof response));
}

}  // namespace
}  // namespace vok_test
