// Block, PIN and security operations (the provisioning sequences:
// provisioningTest.cpp).
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "api/adminValues.h"
#include "api/apiFixture.h"

namespace voktest {
namespace {

const std::array<uint8_t, 32> kLongPin{};

// Attribute word bits (the token's layout).
constexpr uint16_t kAttrReadWrite = 0x0003;
constexpr uint16_t kAttrLocked = 0x0004;

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

}  // namespace
}  // namespace voktest
