// The two provisioning sequences: vokInitialize and vokInitializeBlock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/adminValues.h"
#include "api/apiFixture.h"

namespace voktest {
namespace {

// Attribute word bits (the token's layout).
constexpr uint16_t kAttrPinUse = 0x0008;
constexpr uint16_t kAttrUserPinSet = 0x0100;

// The payload of the set-PIN command's phase 6: the new PIN, zero-padded to
// 32 bytes.
Bytes sent_new_pin(const std::string& node) {
    Bytes pin;
    for (const Bytes& payload : phasePayloads(node, 6))
        pin.insert(pin.end(), payload.begin(), payload.end());
    return pin;
}

Bytes padded(const Bytes& pin) {
    Bytes result(pin);
    result.resize(32, 0);
    return result;
}

// ---- vokInitialize ------------------------------------------------------

using ApiInitialize = OpenTokenTest;

TEST_F(ApiInitialize, WithoutANewPinRunsOnlyTheInitialiseCommand) {
    setTokenMemory(node_, 100, {1, 2, 3});
    EXPECT_EQ(vokInitialize(handle_, nullptr, 0, nullptr, 0, false, &response_), VOK_STATUS_OK);
    EXPECT_EQ(openings(node_), (std::vector<Opening>{{VOK_CMD_INITIALIZE, 0}}));
    EXPECT_EQ(tokenMemory(node_, 100, 3), (Bytes{0, 0, 0}));
    EXPECT_EQ(response_.status, 0);
}

TEST_F(ApiInitialize, AboveLevel21InstallsBlockOnesUserPinByCommand) {
    for (bool pinUse : {true, false}) {
        ASSERT_TRUE(voksim::clearLog(node_));
        EXPECT_EQ(
            vokInitialize(handle_, nullptr, 0, kNewPin.data(), kNewPin.size(), pinUse, &response_),
            VOK_STATUS_OK);
        const std::vector<Opening> expected{
            {VOK_CMD_INITIALIZE, 0}, {VOK_CMD_SET_PIN, 0x01}, {VOK_CMD_SET_BLOCK_PIN_USE, 0x01}};
        EXPECT_EQ(openings(node_), expected);
        // Phase 5 carries the new PIN's length for set-PIN, then the PIN use
        // and PIN-set permission for set-PIN-use; phase 6 the new PIN.
        const std::vector<Bytes> parameters = phasePayloads(node_, 5);
        ASSERT_EQ(parameters.size(), 2u);
        EXPECT_EQ(parameters[0][0], kNewPin.size());
        EXPECT_EQ(parameters[1], (Bytes{static_cast<uint8_t>(pinUse ? 1 : 0), 0, 0, 0}));
        EXPECT_EQ(sent_new_pin(node_), padded(kNewPin));
        EXPECT_EQ(tokenMemory(node_, 4062, 34), Bytes(34, 0)) << "nothing is written to memory";

        uint16_t attributes = 0;
        EXPECT_EQ(vokGetBlockAttr(handle_, VOK_BLOCK_1, &attributes, &response_), VOK_STATUS_OK);
        EXPECT_EQ(attributes & (kAttrUserPinSet | kAttrPinUse),
                  kAttrUserPinSet | (pinUse ? kAttrPinUse : 0));
        // Re-initialising now needs the main PIN.
        EXPECT_EQ(vokInitialize(handle_, nullptr, 0, nullptr, 0, false, &response_),
                  voksim::kStatusWrongPin);
        EXPECT_EQ(
            vokInitialize(handle_, kNewPin.data(), kNewPin.size(), nullptr, 0, false, &response_),
            VOK_STATUS_OK);
    }
}

TEST_F(ApiInitialize, AFailedInitialiseCommandRunsNoPinStep) {
    ASSERT_EQ(vokInitialize(handle_, nullptr, 0, kNewPin.data(), kNewPin.size(), true, &response_),
              VOK_STATUS_OK);
    ASSERT_TRUE(voksim::clearLog(node_));
    EXPECT_EQ(vokInitialize(handle_, kPin, sizeof kPin, kPin, sizeof kPin, false, &response_),
              voksim::kStatusWrongPin);
    EXPECT_EQ(openings(node_), (std::vector<Opening>{{VOK_CMD_INITIALIZE, 0}}));
    EXPECT_EQ(response_.status, voksim::kStatusWrongPin);
}

TEST_F(ApiInitialize, ChoosesByTheProtocolLevelOfTheLastInfoCommand) {
    ASSERT_TRUE(voksim::modifyState(
        node_, [](voksim::TokenState& state) { state.identity.protocolLevel = 21; }));
    EXPECT_EQ(vokInitialize(handle_, nullptr, 0, kNewPin.data(), kNewPin.size(), false, &response_),
              VOK_STATUS_OK);
    EXPECT_EQ(openings(node_)[1].command, VOK_CMD_SET_PIN);

    VokIdInfo info;
    ASSERT_EQ(vokGetInfo(handle_, &info, sizeof info), VOK_STATUS_OK);
    ASSERT_TRUE(voksim::clearLog(node_));
    EXPECT_EQ(vokInitialize(handle_, kNewPin.data(), kNewPin.size(), kNewPin.data(), kNewPin.size(),
                            false, &response_),
              VOK_STATUS_OK);
    EXPECT_EQ(openings(node_)[1].command, VOK_CMD_WRITE);
}

class ApiInitializeLevel21 : public OpenTokenTest {
  protected:
    voksim::Identity identity() const override {
        voksim::Identity identity;
        identity.protocolLevel = 21;
        return identity;
    }
};

TEST_F(ApiInitializeLevel21, WritesThePinAndItsControlWordToMemory) {
    for (bool pinUse : {true, false}) {
        ASSERT_TRUE(voksim::clearLog(node_));
        EXPECT_EQ(
            vokInitialize(handle_, nullptr, 0, kNewPin.data(), kNewPin.size(), pinUse, &response_),
            VOK_STATUS_OK);
        const std::vector<Opening> expected{
            {VOK_CMD_INITIALIZE, 0}, {VOK_CMD_WRITE, 0}, {VOK_CMD_WRITE, 0}};
        EXPECT_EQ(openings(node_), expected);
        EXPECT_EQ(tokenMemory(node_, 4062, 8), kNewPin);
        EXPECT_EQ(tokenMemory(node_, 4070, 24), Bytes(24, 0));
        EXPECT_EQ(tokenMemory(node_, 4094, 2),
                  (Bytes{static_cast<uint8_t>(pinUse ? 0x11 : 0x10), 0x00}));
        EXPECT_EQ(
            vokInitialize(handle_, kNewPin.data(), kNewPin.size(), nullptr, 0, false, &response_),
            VOK_STATUS_OK);
    }
}

TEST_F(ApiInitializeLevel21, AnOddPinLengthMergesTheLastWord) {
    const Bytes pin{'a', 'b', 'c', 'd', 'e'};
    EXPECT_EQ(vokInitialize(handle_, nullptr, 0, pin.data(), pin.size(), true, &response_),
              VOK_STATUS_OK);
    const std::vector<Opening> expected{
        {VOK_CMD_INITIALIZE, 0}, {VOK_CMD_READ, 0}, {VOK_CMD_WRITE, 0}, {VOK_CMD_WRITE, 0}};
    EXPECT_EQ(openings(node_), expected);
    EXPECT_EQ(tokenMemory(node_, 4062, 6), (Bytes{'a', 'b', 'c', 'd', 'e', 0}));
    EXPECT_EQ(tokenMemory(node_, 4094, 2), (Bytes{0x0B, 0x00}));
    // PIN use is on: whole-memory reads now need the PIN.
    uint8_t byte = 0;
    EXPECT_EQ(vokRead(handle_, nullptr, 0, 0, &byte, 1, &response_), voksim::kStatusWrongPin);
    EXPECT_EQ(vokRead(handle_, pin.data(), pin.size(), 0, &byte, 1, &response_), VOK_STATUS_OK);
}

class ApiInitializeSmallToken : public OpenTokenTest {
  protected:
    voksim::Identity identity() const override {
        voksim::Identity identity;
        identity.protocolLevel = 21;
        identity.memoryModel = 1;
        identity.memoryUnits = 16;
        return identity;
    }
};

TEST_F(ApiInitializeSmallToken, UsesThePinAreaOfSixteenByteUnits) {
    EXPECT_EQ(vokInitialize(handle_, nullptr, 0, kNewPin.data(), kNewPin.size(), false, &response_),
              VOK_STATUS_OK);
    EXPECT_EQ(tokenMemory(node_, 222, 8), kNewPin);
    EXPECT_EQ(tokenMemory(node_, 254, 2), (Bytes{0x10, 0x00}));
}

// ---- vokInitializeBlock -----------------------------------------------

using ApiInitializeBlock = OpenTokenTest;

TEST_F(ApiInitializeBlock, ProvisioningSetsVendorIdPinAndPinUse) {
    setTokenMemory(node_, 1014, {9, 9});
    EXPECT_EQ(vokInitializeBlock(handle_, VOK_PIN_USER, VOK_BLOCK_2, nullptr, 0, kNewPin.data(),
                                 kNewPin.size(), 0x4242, true, &response_),
              VOK_STATUS_OK);
    const std::vector<Opening> expected{{VOK_CMD_INITIALIZE_BLOCK, 2},
                                        {VOK_CMD_SET_VENDOR_ID, 2},
                                        {VOK_CMD_SET_PIN, 2},
                                        {VOK_CMD_SET_BLOCK_PIN_USE, 2}};
    EXPECT_EQ(openings(node_), expected);
    const std::vector<Bytes> parameters = phasePayloads(node_, 5);
    ASSERT_EQ(parameters.size(), 3u);
    EXPECT_EQ(parameters[0], (Bytes{0x42, 0x42, 0, 0}));
    EXPECT_EQ(parameters[1][0], kNewPin.size());
    EXPECT_EQ(parameters[2], (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(sent_new_pin(node_), padded(kNewPin));
    EXPECT_EQ(tokenMemory(node_, 1014, 2), (Bytes{0, 0}));

    uint16_t word = 0;
    EXPECT_EQ(vokGetVendorId(handle_, VOK_BLOCK_2, &word, &response_), VOK_STATUS_OK);
    EXPECT_EQ(word, 0x4242);
    EXPECT_EQ(vokGetBlockAttr(handle_, VOK_BLOCK_2, &word, &response_), VOK_STATUS_OK);
    EXPECT_EQ(word & (kAttrUserPinSet | kAttrPinUse), kAttrUserPinSet | kAttrPinUse);
}

TEST_F(ApiInitializeBlock, WithoutProvisioningRunsOnlyTheInitialiseBlockCommand) {
    EXPECT_EQ(vokInitializeBlock(handle_, VOK_PIN_USER, VOK_BLOCK_3, nullptr, 0, nullptr, 0, 0xFFFF,
                                 false, &response_),
              VOK_STATUS_OK);
    EXPECT_EQ(openings(node_), (std::vector<Opening>{{VOK_CMD_INITIALIZE_BLOCK, 3}}));
}

TEST_F(ApiInitializeBlock, Block5IsSentAndTheTokensAnswerEndsTheSequence) {
    EXPECT_EQ(vokInitializeBlock(handle_, VOK_PIN_USER, block(5), nullptr, 0, kNewPin.data(),
                                 kNewPin.size(), 7, true, &response_),
              voksim::kStatusBadBlock);
    EXPECT_EQ(openings(node_), (std::vector<Opening>{{VOK_CMD_INITIALIZE_BLOCK, 5}}));
}

TEST_F(ApiInitializeBlock, ABlockOutsideOneToFourIsRefusedAtThePinUseStep) {
    // 0x81 reaches the token as block 1 (the record keeps 7 bits), so the
    // token accepts the first three steps; the PIN-use step refuses it.
    EXPECT_EQ(vokInitializeBlock(handle_, VOK_PIN_USER, block(0x81), nullptr, 0, kNewPin.data(),
                                 kNewPin.size(), 0x0707, true, &response_),
              VOK_STATUS_BAD_ARGUMENT);
    const std::vector<Opening> expected{
        {VOK_CMD_INITIALIZE_BLOCK, 1}, {VOK_CMD_SET_VENDOR_ID, 1}, {VOK_CMD_SET_PIN, 1}};
    EXPECT_EQ(openings(node_), expected);
    EXPECT_EQ(response_.status, 0) << "the response of the last step that ran";
    uint16_t word = 0;
    EXPECT_EQ(vokGetVendorId(handle_, VOK_BLOCK_1, &word, &response_), VOK_STATUS_OK);
    EXPECT_EQ(word, 0x0707);
    EXPECT_EQ(vokGetBlockAttr(handle_, VOK_BLOCK_1, &word, &response_), VOK_STATUS_OK);
    EXPECT_EQ(word & (kAttrUserPinSet | kAttrPinUse), kAttrUserPinSet);
}

TEST_F(ApiInitializeBlock, AFailurePartWayLeavesTheEarlierStepsInEffect) {
    const Bytes shortPin{'x', 'y'};  // below the token's minimum PIN length
    EXPECT_EQ(vokInitializeBlock(handle_, VOK_PIN_USER, VOK_BLOCK_4, nullptr, 0, shortPin.data(),
                                 shortPin.size(), 0x0044, true, &response_),
              voksim::kStatusBadParameter);
    const std::vector<Opening> expected{
        {VOK_CMD_INITIALIZE_BLOCK, 4}, {VOK_CMD_SET_VENDOR_ID, 4}, {VOK_CMD_SET_PIN, 4}};
    EXPECT_EQ(openings(node_), expected);
    EXPECT_EQ(response_.status, voksim::kStatusBadParameter);
    uint16_t word = 0;
    EXPECT_EQ(vokGetVendorId(handle_, VOK_BLOCK_4, &word, &response_), VOK_STATUS_OK);
    EXPECT_EQ(word, 0x0044);
}

TEST_F(ApiInitializeBlock, PinType1NeedsThePinAfterTheLookup) {
    EXPECT_EQ(vokInitializeBlock(kNeverIssued, VOK_PIN_ADMIN, VOK_BLOCK_1, nullptr, 0, nullptr, 0,
                                 1, false, &response_),
              VOK_STATUS_BAD_HANDLE);
    EXPECT_EQ(vokInitializeBlock(handle_, VOK_PIN_ADMIN, VOK_BLOCK_1, nullptr, 0, nullptr, 0, 1,
                                 false, &response_),
              VOK_STATUS_BAD_ARGUMENT);
    EXPECT_TRUE(openings(node_).empty());
}

}  // namespace
}  // namespace voktest
