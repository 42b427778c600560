// vokOpen, vokGetInfo, vokCommand and vokClose on virtual tokens.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "api/apiFixture.h"

namespace voktest {
namespace {

constexpr uint8_t kTokenId[8] = {0x56, 0x4F, 0x4B, 0x00, 0x00, 0x00, 0x00, 0x01};

VokIdInfo info_of(VokHandle handle) {
    VokIdInfo info{};
    EXPECT_EQ(vokGetInfo(handle, &info, sizeof info), VOK_STATUS_OK);
    return info;
}

TEST(ApiOpen, GivesAHandleThatReportsTheTokensInformation) {
    TokenTree tree;
    tree.addToken(2);
    ScopedHandle handle(vokOpen(0));
    ASSERT_NE(handle.get(), VOK_INVALID_HANDLE);

    const VokIdInfo info = info_of(handle.get());
    EXPECT_EQ(info.flagA, 1);
    EXPECT_EQ(info.flagB, 0);
    EXPECT_EQ(info.versionHigh, 1);
    EXPECT_EQ(info.versionLow, 2);
    EXPECT_EQ(info.memoryModel, 2);
    EXPECT_EQ(info.protocolLevel, 22);
    EXPECT_EQ(info.memorySize, 4096u);
    EXPECT_EQ(info.pinAddress, 4062u);
    EXPECT_EQ(info.pinControlAddress, 4094u);
    EXPECT_EQ(0, std::memcmp(info.tokenId, kTokenId, sizeof kTokenId));
}

TEST(ApiOpen, EachOpenGivesTheNextNumberAndAHandleOfItsOwn) {
    TokenTree tree;
    tree.addToken(2);
    ScopedHandle first(vokOpen(0));
    ScopedHandle second(vokOpen(0));
    ASSERT_NE(first.get(), VOK_INVALID_HANDLE);
    ASSERT_EQ(second.get(), first.get() + 1);

    EXPECT_EQ(first.close(), VOK_STATUS_OK);
    const VokIdInfo info = info_of(second.get());
    EXPECT_EQ(info.memorySize, 4096u);
}

TEST(ApiOpen, CountsOnlyAcceptedDevicesAndFailsPastTheLast) {
    TokenTree tree;
    voksim::createForeignDevice(tree.root(), 1, 2, 0x1234, 0x5678);
    voksim::Identity identity;
    identity.tokenId[7] = 0x77;
    tree.addToken(3, identity);

    ScopedHandle handle(vokOpen(0));
    ASSERT_NE(handle.get(), VOK_INVALID_HANDLE);
    EXPECT_EQ(info_of(handle.get()).tokenId[7], 0x77);
    EXPECT_EQ(vokOpen(1), VOK_INVALID_HANDLE);
    EXPECT_EQ(vokOpen(255), VOK_INVALID_HANDLE);
}

TEST(ApiOpen, FailsWithoutAnyToken) {
    TokenTree tree;
    EXPECT_EQ(vokOpen(0), VOK_INVALID_HANDLE);
}

TEST(ApiOpen, FailsWhenTheInfoCommandFails) {
    TokenTree tree;
    const std::string node = tree.addToken(2);
    injectTokenStatus(node, 0x18);
    EXPECT_EQ(vokOpen(0), VOK_INVALID_HANDLE);

    ASSERT_TRUE(voksim::clearFaults(node));
    ScopedHandle handle(vokOpen(0));
    EXPECT_NE(handle.get(), VOK_INVALID_HANDLE);
}

TEST(ApiOpen, ScansAfreshAtEveryCall) {
    TokenTree tree;
    EXPECT_EQ(vokOpen(0), VOK_INVALID_HANDLE);
    const std::string node = tree.addToken(2);
    ScopedHandle handle(vokOpen(0));
    EXPECT_NE(handle.get(), VOK_INVALID_HANDLE);

    ASSERT_TRUE(voksim::unplug(node));
    EXPECT_EQ(vokOpen(0), VOK_INVALID_HANDLE);
    ASSERT_TRUE(voksim::replug(node));
}

using ApiGetInfo = OpenTokenTest;

TEST_F(ApiGetInfo, RefusesAShortOrMissingBufferBeforeTheLookup) {
    std::array<uint8_t, 64> buffer{};
    EXPECT_EQ(vokGetInfo(handle_, buffer.data(), 31), VOK_STATUS_BAD_ARGUMENT);
    EXPECT_EQ(vokGetInfo(handle_, nullptr, 32), VOK_STATUS_BAD_ARGUMENT);
    EXPECT_EQ(vokGetInfo(kNeverIssued, nullptr, 32), VOK_STATUS_BAD_ARGUMENT);
    EXPECT_EQ(vokGetInfo(kNeverIssued, buffer.data(), 0), VOK_STATUS_BAD_ARGUMENT);
    EXPECT_EQ(buffer, (std::array<uint8_t, 64>{}));
    EXPECT_TRUE(openings(node_).empty());
}

TEST_F(ApiGetInfo, WritesExactly32Bytes) {
    for (uint32_t length : {32u, 64u}) {
        std::array<uint8_t, 64> buffer;
        buffer.fill(0xA5);
        EXPECT_EQ(vokGetInfo(handle_, buffer.data(), length), VOK_STATUS_OK);
        VokIdInfo info;
        std::memcpy(&info, buffer.data(), sizeof info);
        EXPECT_EQ(info.memorySize, 4096u);
        for (size_t i = sizeof(VokIdInfo); i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xA5) << i;
    }
}

TEST_F(ApiGetInfo, RefreshesTheInformation) {
    ASSERT_TRUE(voksim::modifyState(
        node_, [](voksim::TokenState& state) { state.identity.memoryUnits = 8; }));
    EXPECT_EQ(info_of(handle_).memorySize, 2048u);

    // The memory commands bound their ranges by the refreshed size.
    std::array<uint8_t, 2> bytes{};
    EXPECT_EQ(vokRead(handle_, nullptr, 0, 2048, bytes.data(), 2, &response_),
              VOK_STATUS_BAD_ARGUMENT);
    EXPECT_EQ(vokRead(handle_, nullptr, 0, 2046, bytes.data(), 2, &response_), VOK_STATUS_OK);
}

TEST_F(ApiGetInfo, AfterAFailedInfoCommandGivesTheLastGoodInformation) {
    const VokIdInfo before = info_of(handle_);
    injectTokenStatus(node_, 0x18);
    std::array<uint8_t, 40> buffer;
    buffer.fill(0xEE);
    EXPECT_EQ(vokGetInfo(handle_, buffer.data(), buffer.size()), 0x18u);
    EXPECT_EQ(0, std::memcmp(buffer.data(), &before, sizeof before));
    EXPECT_EQ(buffer[32], 0xEE);
}

using ApiCommand = OpenTokenTest;

TDRVREQUEST_MEK filled_record(uint8_t fill) {
    TDRVREQUEST_MEK record;
    std::memset(&record, fill, sizeof record);
    return record;
}

bool same_bytes(const TDRVREQUEST_MEK& a, const TDRVREQUEST_MEK& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST_F(ApiCommand, RefusesBadArgumentsWithoutTouchingTheRecord) {
    const TDRVREQUEST_MEK original = filled_record(0x6B);
    TDRVREQUEST_MEK record = original;
    EXPECT_FALSE(vokCommand(handle_, nullptr, 128));
    EXPECT_FALSE(vokCommand(handle_, &record, 127));
    EXPECT_TRUE(same_bytes(record, original));
    EXPECT_FALSE(vokCommand(handle_, &record, VOK_REQUEST_SIZE + 1));
    EXPECT_TRUE(same_bytes(record, original));
    // Checked before the lookup: the record keeps its status byte.
    EXPECT_FALSE(vokCommand(kNeverIssued, &record, 127));
    EXPECT_TRUE(same_bytes(record, original));
    EXPECT_FALSE(vokCommand(kNeverIssued, &record, VOK_REQUEST_SIZE + 1));
    EXPECT_TRUE(same_bytes(record, original));
    EXPECT_TRUE(openings(node_).empty());
}

TEST_F(ApiCommand, ReportsAHandleThatIsNotOpenInTheStatusByte) {
    const TDRVREQUEST_MEK original = filled_record(0x6B);
    TDRVREQUEST_MEK record = original;
    EXPECT_FALSE(vokCommand(kNeverIssued, &record, 128));
    EXPECT_EQ(record.status, VOK_STATUS_BAD_HANDLE);
    record.status = original.status;
    EXPECT_TRUE(same_bytes(record, original));
}

TEST_F(ApiCommand, RunsTheCallersRecordAndCopiesBackOnlyItsLength) {
    TDRVREQUEST_MEK record = filled_record(0x6B);
    std::memset(&record, 0, VOK_REQUEST_HEADER_SIZE);
    record.command = VOK_CMD_GET_INFO;

    EXPECT_TRUE(vokCommand(handle_, &record, VOK_REQUEST_HEADER_SIZE));
    EXPECT_EQ(record.status, 0);
    EXPECT_EQ(record.versionNibbles, 0x12);
    EXPECT_EQ(record.memoryUnits, 16);
    EXPECT_EQ(record.data[0], 0x6B) << "data beyond the length must not be written";

    EXPECT_TRUE(vokCommand(handle_, &record, VOK_REQUEST_HEADER_SIZE + 8));
    EXPECT_EQ(0, std::memcmp(record.data, kTokenId, sizeof kTokenId));
    EXPECT_EQ(record.data[8], 0x6B);
}

TEST_F(ApiCommand, AcceptsTheWholeRecord) {
    TDRVREQUEST_MEK record = filled_record(0);
    record.command = VOK_CMD_GET_INFO;
    EXPECT_TRUE(vokCommand(handle_, &record, VOK_REQUEST_SIZE));
    EXPECT_EQ(0, std::memcmp(record.data, kTokenId, sizeof kTokenId));
}

TEST_F(ApiCommand, GivesTheTokensStatusOfAFailedTransaction) {
    TDRVREQUEST_MEK record = filled_record(0);
    record.command = 0x2F;
    EXPECT_FALSE(vokCommand(handle_, &record, VOK_REQUEST_HEADER_SIZE));
    EXPECT_EQ(record.status, voksim::kStatusWrongTokenId);

    std::memcpy(record.tokenId, kTokenId, sizeof kTokenId);
    EXPECT_FALSE(vokCommand(handle_, &record, VOK_REQUEST_HEADER_SIZE));
    EXPECT_EQ(record.status, voksim::kStatusUnknownCommand);

    injectTransferFailure(node_);
    record = filled_record(0);
    record.command = VOK_CMD_GET_INFO;
    EXPECT_FALSE(vokCommand(handle_, &record, VOK_REQUEST_HEADER_SIZE));
    EXPECT_EQ(record.status, VOK_STATUS_TRANSFER_FAILED);
}

TEST(ApiClose, ClosesOnceThenReportsNoHandle) {
    TokenTree tree;
    tree.addToken(2);
    const VokHandle handle = vokOpen(0);
    ASSERT_NE(handle, VOK_INVALID_HANDLE);
    EXPECT_EQ(vokClose(handle), VOK_STATUS_OK);
    EXPECT_EQ(vokClose(handle), VOK_STATUS_BAD_HANDLE);
    VokIdInfo info;
    EXPECT_EQ(vokGetInfo(handle, &info, sizeof info), VOK_STATUS_BAD_HANDLE);

    EXPECT_EQ(vokClose(kNeverIssued), VOK_STATUS_BAD_HANDLE);
    EXPECT_EQ(vokClose(VOK_INVALID_HANDLE), VOK_STATUS_BAD_HANDLE);
    EXPECT_EQ(vokClose(0), VOK_STATUS_BAD_HANDLE);
}

TEST(ApiClose, LeavesOtherHandlesOnTheSameTokenOpen) {
    TokenTree tree;
    tree.addToken(2);
    ScopedHandle first(vokOpen(0));
    ScopedHandle second(vokOpen(0));
    EXPECT_EQ(second.close(), VOK_STATUS_OK);
    EXPECT_EQ(info_of(first.get()).memorySize, 4096u);
}

}  // namespace
}  // namespace voktest
