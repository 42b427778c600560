// Block, PIN and security operations, and the two provisioning sequences.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "api/apiFixture.h"

namespace voktest {
namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t kPin[] = {'1', '2', '3', '4'};
const Bytes kNewPin{'s', 'e', 'c', 'r', 'e', 't', '4', '2'};
const std::array<uint8_t, 32> kLongPin{};

// Attribute word bits (the token's layout).
constexpr uint16_t kAttrReadWrite = 0x0003;
constexpr uint16_t kAttrLocked = 0x0004;
constexpr uint16_t kAttrPinUse = 0x0008;
constexpr uint16_t kAttrUserPinSet = 0x0100;

BLOCK_ID block(int32_t value) { return static_cast<BLOCK_ID>(value); }

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

using ApiChecks = OpenTokenTest;

// Calls that a check of the operation itself refuses, made before the handle
// is looked up.
TEST_F(ApiChecks, BadArgumentsGive3BeforeTheLookup) {
    uint16_t word = 0;
    const std::vector<std::pair<std::string, std::function<uint32_t(VokHandle)>>> calls{
        {"get vendor id, no output",
         [&](VokHandle h) { return vokGetVendorId(h, VOK_BLOCK_1, nullptr, &response_); }},
        {"get vendor id, block 0",
         [&](VokHandle h) { return vokGetVendorId(h, block(0), &word, &response_); }},
        {"get vendor id, block 5",
         [&](VokHandle h) { return vokGetVendorId(h, block(5), &word, &response_); }},
        {"get vendor id, block -1",
         [&](VokHandle h) { return vokGetVendorId(h, block(-1), &word, &response_); }},
        {"set vendor id 0xFFFF",
         [&](VokHandle h) {
             return vokSetVendorId(h, VOK_BLOCK_1, nullptr, 0, 0xFFFF, &response_);
         }},
        {"set vendor id, block 5",
         [&](VokHandle h) { return vokSetVendorId(h, block(5), nullptr, 0, 1, &response_); }},
        {"get attributes, no output",
         [&](VokHandle h) { return vokGetBlockAttr(h, VOK_BLOCK_1, nullptr, &response_); }},
        {"get attributes, block 0",
         [&](VokHandle h) { return vokGetBlockAttr(h, block(0), &word, &response_); }},
        {"set attributes, block 0",
         [&](VokHandle h) {
             return vokSetBlockAttr(h, block(0), kPin, sizeof kPin, VOK_RW_READ, &word, &response_);
         }},
        {"set attributes, block 5",
         [&](VokHandle h) {
             return vokSetBlockAttr(h, block(5), kPin, sizeof kPin, VOK_RW_READ, &word, &response_);
         }},
        {"lock, access 2",
         [&](VokHandle h) {
             return vokLockBlock(h, VOK_BLOCK_1, kPin, sizeof kPin, static_cast<ACCESS>(2),
                                 &response_);
         }},
        {"lock, access -1",
         [&](VokHandle h) {
             return vokLockBlock(h, VOK_BLOCK_1, kPin, sizeof kPin, static_cast<ACCESS>(-1),
                                 &response_);
         }},
        {"lock, block 5",
         [&](VokHandle h) {
             return vokLockBlock(h, block(5), kPin, sizeof kPin, VOK_ACCESS_LOCKED, &response_);
         }},
        {"set pin, no new pin",
         [&](VokHandle h) {
             return vokSetPin(h, VOK_PIN_USER, VOK_BLOCK_1, nullptr, 0, nullptr, 4, &response_);
         }},
        {"set pin, new pin of 0",
         [&](VokHandle h) {
             return vokSetPin(h, VOK_PIN_USER, VOK_BLOCK_1, nullptr, 0, kNewPin.data(), 0,
                              &response_);
         }},
        {"set pin, new pin of 32",
         [&](VokHandle h) {
             return vokSetPin(h, VOK_PIN_USER, VOK_BLOCK_1, nullptr, 0, kLongPin.data(), 32,
                              &response_);
         }},
        {"set pin, block 5",
         [&](VokHandle h) {
             return vokSetPin(h, VOK_PIN_USER, block(5), nullptr, 0, kNewPin.data(), 8, &response_);
         }},
        {"set pin use, block 0",
         [&](VokHandle h) {
             return vokSetBlockPinUse(h, block(0), nullptr, 0, VOK_PIN_USE_ON, VOK_PIN_SET_BY_USER,
                                      &response_);
         }},
        {"set pin use, block 5",
         [&](VokHandle h) {
             return vokSetBlockPinUse(h, block(5), nullptr, 0, VOK_PIN_USE_ON, VOK_PIN_SET_BY_USER,
                                      &response_);
         }},
        {"initialize, pin use without a new pin",
         [&](VokHandle h) { return vokInitialize(h, nullptr, 0, nullptr, 0, true, &response_); }},
        {"initialize, new pin of 0",
         [&](VokHandle h) {
             return vokInitialize(h, nullptr, 0, kNewPin.data(), 0, false, &response_);
         }},
        {"initialize, new pin of 32",
         [&](VokHandle h) {
             return vokInitialize(h, nullptr, 0, kLongPin.data(), 32, false, &response_);
         }},
        {"initialize block, new pin of 32",
         [&](VokHandle h) {
             return vokInitializeBlock(h, VOK_PIN_USER, VOK_BLOCK_1, nullptr, 0, kLongPin.data(),
                                       32, 1, false, &response_);
         }},
        {"initialize block, provision without a new pin",
         [&](VokHandle h) {
             return vokInitializeBlock(h, VOK_PIN_USER, VOK_BLOCK_1, nullptr, 0, nullptr, 0, 1,
                                       true, &response_);
         }},
        {"initialize block, provision vendor id 0xFFFF",
         [&](VokHandle h) {
             return vokInitializeBlock(h, VOK_PIN_USER, VOK_BLOCK_1, nullptr, 0, kNewPin.data(), 8,
                                       0xFFFF, true, &response_);
         }},
    };
    for (const auto& [name, call] : calls) {
        EXPECT_EQ(call(handle_), VOK_STATUS_BAD_ARGUMENT) << name;
        EXPECT_EQ(call(kNeverIssued), VOK_STATUS_BAD_ARGUMENT) << name;
    }
    EXPECT_EQ(word, 0);
    EXPECT_EQ(response_.status, 0x5A);
    EXPECT_TRUE(openings(node_).empty());
}

TEST_F(ApiChecks, SecurityParametersOutsideTheirRangesGive3) {
    const std::vector<std::array<uint8_t, 4>> refused{
        {16, 1, 1, 15}, {0, 0, 1, 15}, {0, 32, 1, 15}, {0, 1, 0, 15},
        {0, 1, 11, 15}, {0, 1, 1, 14}, {0, 1, 1, 61}};
    for (const auto& p : refused) {
        for (VokHandle handle : {handle_, kNeverIssued}) {
            EXPECT_EQ(
                vokSetSecParameters(handle, kPin, sizeof kPin, p[0], p[1], p[2], p[3], &response_),
                VOK_STATUS_BAD_ARGUMENT)
                << int{p[0]} << " " << int{p[1]} << " " << int{p[2]} << " " << int{p[3]};
        }
    }
    EXPECT_TRUE(openings(node_).empty());
}

TEST_F(ApiChecks, SecurityParametersAtTheirBoundsReachTheToken) {
    for (const std::array<uint8_t, 4>& p :
         {std::array<uint8_t, 4>{0, 1, 1, 15}, std::array<uint8_t, 4>{15, 31, 10, 60}}) {
        EXPECT_EQ(
            vokSetSecParameters(handle_, kPin, sizeof kPin, p[0], p[1], p[2], p[3], &response_),
            VOK_STATUS_OK);
        std::array<uint8_t, 4> read{};
        EXPECT_EQ(vokGetSecParameters(handle_, &read[0], &read[1], &read[2], &read[3], &response_),
                  VOK_STATUS_OK);
        EXPECT_EQ(read, p);
    }
}

TEST_F(ApiChecks, TheBuildersPinRulesApplyAfterTheLookup) {
    uint16_t word = 0;
    EXPECT_EQ(
        vokSetBlockAttr(kNeverIssued, VOK_BLOCK_1, nullptr, 0, VOK_RW_READ, &word, &response_),
        VOK_STATUS_BAD_HANDLE);
    EXPECT_EQ(vokSetBlockAttr(handle_, VOK_BLOCK_1, nullptr, 0, VOK_RW_READ, &word, &response_),
              VOK_STATUS_BAD_ARGUMENT);
    EXPECT_EQ(
        vokLockBlock(handle_, VOK_BLOCK_1, kLongPin.data(), 32, VOK_ACCESS_LOCKED, &response_),
        VOK_STATUS_BAD_ARGUMENT);
    EXPECT_EQ(
        vokSetPin(handle_, VOK_PIN_ADMIN, VOK_BLOCK_1, nullptr, 0, kNewPin.data(), 8, &response_),
        VOK_STATUS_BAD_ARGUMENT);
    EXPECT_EQ(vokInitialize(handle_, kLongPin.data(), 32, nullptr, 0, false, &response_),
              VOK_STATUS_BAD_ARGUMENT);
    EXPECT_EQ(vokInitialize(kNeverIssued, kLongPin.data(), 32, nullptr, 0, false, &response_),
              VOK_STATUS_BAD_HANDLE);
    EXPECT_TRUE(openings(node_).empty());
}

TEST_F(ApiChecks, SetPinPassesBlockZeroAndNegativeBlocksToTheToken) {
    EXPECT_EQ(vokSetPin(handle_, VOK_PIN_USER, block(0), nullptr, 0, kNewPin.data(), 8, &response_),
              voksim::kStatusBadBlock);
    EXPECT_EQ(
        vokSetPin(handle_, VOK_PIN_USER, block(-1), nullptr, 0, kNewPin.data(), 8, &response_),
        voksim::kStatusBadBlock);
    const std::vector<Opening> expected{{VOK_CMD_SET_PIN, 0x00}, {VOK_CMD_SET_PIN, 0x7F}};
    EXPECT_EQ(openings(node_), expected);
}

using ApiBlocks = OpenTokenTest;

TEST_F(ApiBlocks, VendorIdRoundTrip) {
    EXPECT_EQ(vokSetVendorId(handle_, VOK_BLOCK_3, nullptr, 0, 0xBEEF, &response_), VOK_STATUS_OK);
    uint16_t vendorId = 0;
    EXPECT_EQ(vokGetVendorId(handle_, VOK_BLOCK_3, &vendorId, &response_), VOK_STATUS_OK);
    EXPECT_EQ(vendorId, 0xBEEF);
    EXPECT_EQ(vokGetVendorId(handle_, VOK_BLOCK_4, &vendorId, &response_), VOK_STATUS_OK);
    EXPECT_EQ(vendorId, 0);
}

TEST_F(ApiBlocks, OutputsStayUntouchedWhenTheTokenRefuses) {
    injectTokenStatus(node_, voksim::kStatusProtocolError);
    uint16_t word = 0x1111;
    uint8_t p[4] = {7, 7, 7, 7};
    EXPECT_EQ(vokGetVendorId(handle_, VOK_BLOCK_1, &word, &response_),
              voksim::kStatusProtocolError);
    EXPECT_EQ(vokGetBlockAttr(handle_, VOK_BLOCK_1, &word, &response_),
              voksim::kStatusProtocolError);
    EXPECT_EQ(
        vokSetBlockAttr(handle_, VOK_BLOCK_1, kPin, sizeof kPin, VOK_RW_READ, &word, &response_),
        voksim::kStatusProtocolError);
    EXPECT_EQ(vokGetSecParameters(handle_, &p[0], &p[1], &p[2], &p[3], &response_),
              voksim::kStatusProtocolError);
    EXPECT_EQ(word, 0x1111);
    EXPECT_EQ(p[0] + p[1] + p[2] + p[3], 28);
}

TEST_F(ApiBlocks, AttributesAndLock) {
    uint16_t attributes = 0;
    EXPECT_EQ(vokSetBlockAttr(handle_, VOK_BLOCK_2, kPin, sizeof kPin, VOK_RW_READ, &attributes,
                              &response_),
              VOK_STATUS_OK);
    EXPECT_EQ(attributes & kAttrReadWrite, VOK_RW_READ);
    EXPECT_EQ(vokLockBlock(handle_, VOK_BLOCK_2, kPin, sizeof kPin, VOK_ACCESS_LOCKED, &response_),
              VOK_STATUS_OK);
    EXPECT_EQ(vokGetBlockAttr(handle_, VOK_BLOCK_2, &attributes, &response_), VOK_STATUS_OK);
    EXPECT_EQ(attributes & (kAttrReadWrite | kAttrLocked), VOK_RW_READ | kAttrLocked);

    const uint8_t byte = 1;
    EXPECT_EQ(vokWriteEx(handle_, VOK_BLOCK_2, nullptr, 0, 0, &byte, 1, &response_),
              voksim::kStatusAccessDenied);
    EXPECT_EQ(response_.status, voksim::kStatusAccessDenied);
}

TEST_F(ApiBlocks, PinUseWithoutAUserPinIsTheTokensToRefuse) {
    EXPECT_EQ(vokSetBlockPinUse(handle_, VOK_BLOCK_2, nullptr, 0, VOK_PIN_USE_ON,
                                VOK_PIN_SET_BY_USER, &response_),
              voksim::kStatusAccessDenied);
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
