// vokRead, vokWrite, vokReadEx and vokWriteEx on a virtual token.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "api/apiFixture.h"

namespace voktest {
namespace {

using ApiMemory = OpenTokenTest;

constexpr uint8_t kUntouched = 0x5A;

bool response_untouched(const VokIdResponse& response) {
    VokIdResponse fresh;
    std::memset(&fresh, kUntouched, sizeof fresh);
    return std::memcmp(&response, &fresh, sizeof fresh) == 0;
}

TEST_F(ApiMemory, RefusesAMissingBufferOrZeroLengthBeforeTheLookup) {
    std::array<uint8_t, 4> buffer{};
    for (VokHandle handle : {handle_, kNeverIssued}) {
        EXPECT_EQ(vokRead(handle, nullptr, 0, 0, nullptr, 4, &response_), VOK_STATUS_BAD_ARGUMENT);
        EXPECT_EQ(vokRead(handle, nullptr, 0, 0, buffer.data(), 0, &response_),
                  VOK_STATUS_BAD_ARGUMENT);
        EXPECT_EQ(vokWrite(handle, nullptr, 0, 0, nullptr, 4, &response_), VOK_STATUS_BAD_ARGUMENT);
        EXPECT_EQ(vokWrite(handle, nullptr, 0, 0, buffer.data(), 0, &response_),
                  VOK_STATUS_BAD_ARGUMENT);
        EXPECT_EQ(vokReadEx(handle, VOK_BLOCK_1, nullptr, 0, 0, nullptr, 4, &response_),
                  VOK_STATUS_BAD_ARGUMENT);
        EXPECT_EQ(vokReadEx(handle, VOK_BLOCK_1, nullptr, 0, 0, buffer.data(), 0, &response_),
                  VOK_STATUS_BAD_ARGUMENT);
        EXPECT_EQ(vokWriteEx(handle, VOK_BLOCK_1, nullptr, 0, 0, nullptr, 4, &response_),
                  VOK_STATUS_BAD_ARGUMENT);
        EXPECT_EQ(vokWriteEx(handle, VOK_BLOCK_1, nullptr, 0, 0, buffer.data(), 0, &response_),
                  VOK_STATUS_BAD_ARGUMENT);
    }
    EXPECT_TRUE(response_untouched(response_));
    EXPECT_TRUE(openings(node_).empty());
}

TEST_F(ApiMemory, BlockFormsRefuseBlocksOutsideOneToFourBeforeTheLookup) {
    std::array<uint8_t, 4> buffer{};
    for (int32_t block : {0, 5, -1, 0x81, INT32_MIN}) {
        const auto id = static_cast<BLOCK_ID>(block);
        for (VokHandle handle : {handle_, kNeverIssued}) {
            EXPECT_EQ(vokReadEx(handle, id, nullptr, 0, 0, buffer.data(), 4, &response_),
                      VOK_STATUS_BAD_ARGUMENT)
                << block;
            EXPECT_EQ(vokWriteEx(handle, id, nullptr, 0, 0, buffer.data(), 4, &response_),
                      VOK_STATUS_BAD_ARGUMENT)
                << block;
        }
    }
    EXPECT_TRUE(response_untouched(response_));
    EXPECT_TRUE(openings(node_).empty());
}

TEST_F(ApiMemory, BlockFormsReachTheTokenForBlocksOneAndFour) {
    for (BLOCK_ID block : {VOK_BLOCK_1, VOK_BLOCK_4}) {
        const std::array<uint8_t, 4> written{0x10, 0x20, 0x30, static_cast<uint8_t>(block)};
        std::array<uint8_t, 4> read{};
        EXPECT_EQ(vokWriteEx(handle_, block, nullptr, 0, 6, written.data(), 4, &response_),
                  VOK_STATUS_OK);
        EXPECT_EQ(vokReadEx(handle_, block, nullptr, 0, 6, read.data(), 4, &response_),
                  VOK_STATUS_OK);
        EXPECT_EQ(read, written);
    }
    const std::vector<Opening> expected{
        {VOK_CMD_WRITE_EX, 1}, {VOK_CMD_READ_EX, 1}, {VOK_CMD_WRITE_EX, 4}, {VOK_CMD_READ_EX, 4}};
    EXPECT_EQ(openings(node_), expected);
}

TEST_F(ApiMemory, ChecksTheRangeOnlyAfterTheLookup) {
    std::array<uint8_t, 2> buffer{};
    EXPECT_EQ(vokRead(kNeverIssued, nullptr, 0, 5000, buffer.data(), 2, &response_),
              VOK_STATUS_BAD_HANDLE);
    EXPECT_EQ(vokRead(handle_, nullptr, 0, 5000, buffer.data(), 2, &response_),
              VOK_STATUS_BAD_ARGUMENT);
    EXPECT_EQ(vokRead(handle_, nullptr, 0, 4095, buffer.data(), 2, &response_),
              VOK_STATUS_BAD_ARGUMENT);
    EXPECT_EQ(vokRead(handle_, nullptr, 0, 4094, buffer.data(), 2, &response_), VOK_STATUS_OK);
    const std::array<uint8_t, 32> longPin{};
    EXPECT_EQ(vokRead(kNeverIssued, longPin.data(), 32, 0, buffer.data(), 2, &response_),
              VOK_STATUS_BAD_HANDLE);
    EXPECT_EQ(vokRead(handle_, longPin.data(), 32, 0, buffer.data(), 2, &response_),
              VOK_STATUS_BAD_ARGUMENT);
}

TEST_F(ApiMemory, OneByteAtAnOddOffsetKeepsTheOtherByteOfItsWord) {
    setTokenMemory(node_, 4, {0x11, 0x22, 0x33});
    const uint8_t byte = 0xEE;
    EXPECT_EQ(vokWrite(handle_, nullptr, 0, 5, &byte, 1, &response_), VOK_STATUS_OK);
    EXPECT_EQ(tokenMemory(node_, 4, 3), (std::vector<uint8_t>{0x11, 0xEE, 0x33}));
    const std::vector<Opening> expected{{VOK_CMD_READ, 0}, {VOK_CMD_WRITE, 0}};
    EXPECT_EQ(openings(node_), expected);
}

TEST_F(ApiMemory, ReadsAndWritesAnyRange) {
    std::vector<uint8_t> written(4096);
    for (size_t i = 0; i < written.size(); ++i) written[i] = static_cast<uint8_t>(i * 7 + 3);
    EXPECT_EQ(vokWrite(handle_, nullptr, 0, 0, written.data(), 4096, &response_), VOK_STATUS_OK);
    EXPECT_EQ(tokenMemory(node_, 0, 4096), written);

    std::vector<uint8_t> read(1001, 0);
    EXPECT_EQ(vokRead(handle_, nullptr, 0, 333, read.data(), 1001, &response_), VOK_STATUS_OK);
    EXPECT_TRUE(std::equal(read.begin(), read.end(), written.begin() + 333));
    EXPECT_EQ(response_.status, 0);
}

TEST_F(ApiMemory, AFailedReadLeavesTheBufferAndReportsTheTokensStatus) {
    injectTokenStatus(node_, voksim::kStatusAccessDenied);
    std::array<uint8_t, 4> buffer;
    buffer.fill(0xC3);
    EXPECT_EQ(vokRead(handle_, nullptr, 0, 0, buffer.data(), 4, &response_),
              voksim::kStatusAccessDenied);
    EXPECT_EQ(buffer, (std::array<uint8_t, 4>{0xC3, 0xC3, 0xC3, 0xC3}));
    EXPECT_EQ(response_.status, voksim::kStatusAccessDenied);
}

}  // namespace
}  // namespace voktest
