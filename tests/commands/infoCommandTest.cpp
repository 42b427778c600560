// The info command, the response summary and the raw command.
#include <cerrno>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "commandTestSupport.h"

namespace vok_test {
namespace {

struct GeometryCase {
    uint8_t memoryModel;
    uint8_t memoryUnits;
    uint32_t memorySize;
    uint32_t pinAddress;
    uint32_t pinControlAddress;
};

// Printed test parameters must not show the padding bytes of the record.
void PrintTo(const GeometryCase& c, std::ostream* out) {
    *out << "model " << int{c.memoryModel} << ", units " << int{c.memoryUnits};
}

class InfoGeometryTest : public TokenTest, public ::testing::WithParamInterface<GeometryCase> {};

TEST_P(InfoGeometryTest, DerivesMemoryAndPinAddressesFromTheModel) {
    const GeometryCase& expected = GetParam();
    voksim::Identity identity;
    identity.memoryModel = expected.memoryModel;
    identity.memoryUnits = expected.memoryUnits;
    createTokenWith(identity);

    EXPECT_EQ(device_->info.memoryModel, expected.memoryModel);
    EXPECT_EQ(device_->info.memorySize, expected.memorySize);
    EXPECT_EQ(device_->info.pinAddress, expected.pinAddress);
    EXPECT_EQ(device_->info.pinControlAddress, expected.pinControlAddress);
}

INSTANTIATE_TEST_SUITE_P(
    EveryModel, InfoGeometryTest,
    ::testing::Values(GeometryCase{1, 16, 256, 222, 254}, GeometryCase{1, 128, 2048, 222, 254},
                      GeometryCase{0, 16, 256, 222, 254}, GeometryCase{0, 128, 2048, 222, 254},
                      GeometryCase{0, 255, 4080, 222, 254}, GeometryCase{2, 16, 4096, 4062, 4094},
                      GeometryCase{2, 255, 65280, 65246, 65278},
                      // 256-byte units with no memory: the PIN base 0 wraps below zero.
                      GeometryCase{2, 0, 0, 0xFFFFFFDEu, 0xFFFFFFFEu},
                      GeometryCase{1, 0, 0, 222, 254}),
    [](const ::testing::TestParamInfo<GeometryCase>& info) {
        return "Model" + std::to_string(info.param.memoryModel) + "Units" +
               std::to_string(info.param.memoryUnits);
    });

using InfoCommandTest = TokenTest;

TEST_F(InfoCommandTest, FillsTheRecordFromTheTokensReplyAndKeepsReservedBytes) {
    voksim::Identity identity;
    identity.versionNibbles = 0x23;
    identity.flagA = false;
    identity.flagB = true;
    identity.protocolLevel = 17;
    identity.infoByte = 0x5C;
    const uint8_t tokenId[8] = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07, 0x18};
    std::memcpy(identity.tokenId, tokenId, sizeof tokenId);
    createTokenWith(identity);

    VokIdInfo info;
    std::memset(&info, 0xCC, sizeof info);
    ASSERT_EQ(vokIdGetInfoCmd(device_, &info), 0);

    EXPECT_EQ(info.flagA, 0);
    EXPECT_EQ(info.flagB, 1);
    EXPECT_EQ(info.versionHigh, 2);
    EXPECT_EQ(info.versionLow, 3);
    EXPECT_EQ(info.memoryModel, 2);
    EXPECT_EQ(info.protocolLevel, 17);
    EXPECT_EQ(info.infoByte, 0x5C);
    EXPECT_EQ(info.memorySize, 4096u);
    EXPECT_EQ(0, std::memcmp(info.tokenId, tokenId, sizeof tokenId));
    EXPECT_EQ(info.reserved1, 0xCC);
    EXPECT_EQ(info.reserved2, 0xCCCCCCCCu);
}

TEST_F(InfoCommandTest, ResetsThePortAndSendsOnlyTheInfoCode) {
    VokIdInfo info{};
    ASSERT_EQ(vokIdGetInfoCmd(device_, &info), 0);

    const std::vector<voksim::LogEntry> log = voksim::readLog(node_);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front().kind, voksim::LogEntry::kReset);
    const std::vector<SentTransaction> transactions = decodeTransactions(log);
    ASSERT_EQ(transactions.size(), 1u);
    EXPECT_EQ(transactions[0].command, 0x30);
    EXPECT_EQ(transactions[0].blockByte, 0);
    EXPECT_TRUE(transactions[0].pin.empty());
    EXPECT_TRUE(transactions[0].tokenId.empty());
}

TEST_F(InfoCommandTest, AFailedInfoCommandLeavesEveryByteOfTheRecord) {
    VokIdInfo info;
    std::memset(&info, 0x5A, sizeof info);
    const VokIdInfo before = info;

    voksim::Faults transferFails;
    transferFails.failTransfer = 1;
    setFaults(transferFails);
    EXPECT_EQ(vokIdGetInfoCmd(device_, &info), 5);
    EXPECT_EQ(0, std::memcmp(&info, &before, sizeof info));

    voksim::Faults tokenRefuses;
    tokenRefuses.statusPhase = 0;
    tokenRefuses.statusValue = voksim::kStatusProtocolError;
    setFaults(tokenRefuses);
    EXPECT_EQ(vokIdGetInfoCmd(device_, &info), voksim::kStatusProtocolError);
    EXPECT_EQ(0, std::memcmp(&info, &before, sizeof info));
}

TEST(CopyResponseInfoTest, PutsThePinPhaseReplySecondAndTheRestInRecordOrder) {
    TDRVREQUEST_MEK request;
    std::memset(&request, 0, sizeof request);
    auto* raw = reinterpret_cast<uint8_t*>(&request);
    for (int i = 64; i <= 72; ++i) raw[i] = static_cast<uint8_t>(0x40 + i);

    VokIdResponse response = sentinelResponse();
    copyResponseInfo(&request, &response);

    const uint8_t expected[7] = {raw[64], raw[70], raw[65], raw[66], raw[67], raw[68], raw[69]};
    EXPECT_EQ(0, std::memcmp(&response, expected, sizeof expected));
}

TEST_F(InfoCommandTest, AResponseCarriesTheUnsplitVersionAndTheRawUnitCount) {
    voksim::Identity identity;
    identity.versionNibbles = 0x23;
    identity.memoryUnits = 24;
    createTokenWith(identity);

    uint8_t buffer[2];
    VokIdResponse response = sentinelResponse();
    ASSERT_EQ(vokIdReadCmd(device_, nullptr, 0, 0, buffer, sizeof buffer, &response), 0);
    EXPECT_EQ(response.status, 0);
    EXPECT_EQ(response.pinPhaseReply, 0xFF);  // no PIN was checked
    EXPECT_EQ(response.versionNibbles, 0x23);
    EXPECT_EQ(response.memoryModel, 2);
    EXPECT_EQ(response.protocolLevel, 22);
    EXPECT_EQ(response.memoryUnits, 24);
}

// ---- The raw command ------------------------------------------------------

class RawCommandTest : public TokenTest {
  protected:
    // A whole record's worth of caller bytes, all 0xEE until a test sets them.
    std::vector<uint8_t> record_ = std::vector<uint8_t>(VOK_REQUEST_SIZE, 0xEE);

    TDRVREQUEST_MEK* request() { return reinterpret_cast<TDRVREQUEST_MEK*>(record_.data()); }

    void setHeader(uint8_t command, uint16_t wordOffset, uint16_t wordCount) {
        std::memset(record_.data(), 0, VOK_REQUEST_HEADER_SIZE);
        request()->command = command;
        request()->wordOffset = wordOffset;
        request()->wordCount = wordCount;
        std::memcpy(request()->tokenId, device_->info.tokenId, 8);
    }
};

TEST_F(RawCommandTest, RefusesANullRecordAndLengthsOutsideTheRecord) {
    setHeader(VOK_CMD_READ, 0, 2);
    const std::vector<uint8_t> before = record_;

    EXPECT_EQ(vokIdCommand(device_, nullptr, 128), 3);
    EXPECT_EQ(vokIdCommand(device_, request(), 127), 3);
    EXPECT_EQ(vokIdCommand(device_, request(), 0), 3);
    EXPECT_EQ(vokIdCommand(device_, request(), VOK_REQUEST_SIZE + 1), 3);
    EXPECT_EQ(vokIdCommand(device_, request(), 0xFFFFFFFFu), 3);

    EXPECT_EQ(record_, before);
    EXPECT_EQ(transferCount(), 0u);
}

TEST_F(RawCommandTest, AHeaderOnlyRecordRunsAndOnlyItsHeaderIsCopiedBack) {
    setHeader(VOK_CMD_GET_VENDOR_ID, 0, 0);
    request()->blockId = 1;

    EXPECT_EQ(vokIdCommand(device_, request(), VOK_REQUEST_HEADER_SIZE), 0);

    EXPECT_EQ(request()->status, 0);
    EXPECT_EQ(request()->memoryUnits, 16);
    EXPECT_EQ(request()->versionNibbles, 0x12);
    // The token's 8 reply bytes went to data bytes 0-7 of the working record,
    // which lie beyond the caller's length.
    for (size_t i = VOK_REQUEST_HEADER_SIZE; i < record_.size(); ++i) {
        ASSERT_EQ(record_[i], 0xEE) << "byte " << i;
    }
}

TEST_F(RawCommandTest, BytesBeyondTheLengthReachTheTokenAsZero) {
    fillMemoryPattern(16);
    // A write of two words whose data area the caller did not supply.
    setHeader(VOK_CMD_WRITE, 1, 2);

    EXPECT_EQ(vokIdCommand(device_, request(), VOK_REQUEST_HEADER_SIZE), 0);

    const std::vector<SentTransaction> transactions = sent();
    ASSERT_EQ(transactions.size(), 1u);
    EXPECT_EQ(transactions[0].words, bytesOf({0, 0, 0, 0}));
    EXPECT_EQ(memory(0, 8), bytesOf({patternByte(0), patternByte(1), 0, 0, 0, 0, patternByte(6),
                                     patternByte(7)}));
}

TEST_F(RawCommandTest, RunsTheCallersRecordAsItStandsAndCopiesTheWholeRecordBack) {
    fillMemoryPattern(16);
    setHeader(VOK_CMD_READ, 1, 3);
    request()->status = 0x77;  // overwritten by the transaction

    EXPECT_EQ(vokIdCommand(device_, request(), VOK_REQUEST_SIZE), 0);

    EXPECT_EQ(request()->status, 0);
    for (uint32_t i = 0; i < 8; ++i) EXPECT_EQ(request()->data[i], patternByte(2 + i)) << i;
    EXPECT_EQ(request()->data[8], 0xEE);  // the read touched data bytes 0-7 only
    const std::vector<SentTransaction> transactions = sent();
    ASSERT_EQ(transactions.size(), 1u);
    EXPECT_EQ(transactions[0].wordOffset, 1);
    EXPECT_EQ(transactions[0].wordCount, 3);
}

TEST_F(RawCommandTest, ATokenRefusalComesBackInTheResultAndTheRecord) {
    setHeader(0x40, 0, 0);  // not a command code of the token

    EXPECT_EQ(vokIdCommand(device_, request(), 200), voksim::kStatusUnknownCommand);
    EXPECT_EQ(request()->status, voksim::kStatusUnknownCommand);
    EXPECT_EQ(record_[200], 0xEE);
}

TEST_F(RawCommandTest, AFailedExchangeStillCopiesTheRecordBack) {
    setHeader(VOK_CMD_READ, 0, 2);
    voksim::Faults faults;
    faults.failTransfer = 3;  // the first PIN packet
    setFaults(faults);

    EXPECT_EQ(vokIdCommand(device_, request(), VOK_REQUEST_HEADER_SIZE), 5);
    EXPECT_EQ(request()->status, 5);
    EXPECT_EQ(request()->memoryUnits, 16);  // phase 0 had answered
}

}  // namespace
}  // namespace vok_test
