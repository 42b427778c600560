// The memory commands on the default token (4096 bytes): word arithmetic,
// fetch-and-merge of unaligned writes, bounds, block forms and failures.
#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "commandTestSupport.h"

namespace vok_test {
namespace {

class MemoryCommandTest : public TokenTest {
  protected:
    void SetUp() override {
        TokenTest::SetUp();
        fillMemoryPattern(4096);
        clearLog();
    }

    std::vector<uint8_t> pattern(uint32_t address, uint32_t length) const {
        std::vector<uint8_t> values;
        for (uint32_t i = 0; i < length; ++i) values.push_back(patternByte(address + i));
        return values;
    }
};

struct ReadCase {
    uint32_t offset;
    uint32_t length;
    uint16_t wordOffset;
    uint16_t wordCount;
};

void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << "offset " << c.offset << " length " << c.length;
}

class ReadArithmeticTest : public MemoryCommandTest,
                           public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadArithmeticTest, ReadsTheWordsTheRangeTouchesAndReturnsOnlyTheRange) {
    const ReadCase& c = GetParam();
    std::vector<uint8_t> buffer(c.length + 1, 0xEE);
    VokIdResponse response = sentinelResponse();

    ASSERT_EQ(vokIdReadCmd(device_, nullptr, 0, c.offset, buffer.data(), c.length, &response), 0);

    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.end() - 1), pattern(c.offset, c.length));
    EXPECT_EQ(buffer.back(), 0xEE);
    EXPECT_EQ(response.status, 0);
    const std::vector<SentTransaction> transactions = sent();
    ASSERT_EQ(transactions.size(), 1u);
    EXPECT_EQ(transactions[0].command, 0x31);
    EXPECT_EQ(transactions[0].blockByte, 0);
    EXPECT_EQ(transactions[0].wordOffset, c.wordOffset);
    EXPECT_EQ(transactions[0].wordCount, c.wordCount);
    EXPECT_EQ(transactions[0].tokenId,
              std::vector<uint8_t>(device_->info.tokenId, device_->info.tokenId + 8));
}

INSTANTIATE_TEST_SUITE_P(Ranges, ReadArithmeticTest,
                         ::testing::Values(ReadCase{5, 3, 2, 2}, ReadCase{4, 3, 2, 2},
                                           ReadCase{4, 4, 2, 2}, ReadCase{5, 1, 2, 1},
                                           ReadCase{4, 1, 2, 1}, ReadCase{5, 4, 2, 3},
                                           ReadCase{0, 4096, 0, 2048}, ReadCase{4095, 1, 2047, 1}));

TEST_F(MemoryCommandTest, AnAlignedWriteIsOneTransactionWithoutFetches) {
    const uint8_t data[2] = {0xA0, 0xA1};
    VokIdResponse response = sentinelResponse();

    ASSERT_EQ(vokIdWriteCmd(device_, nullptr, 0, 4, data, 2, &response), 0);

    const std::vector<SentTransaction> transactions = sent();
    ASSERT_EQ(transactions.size(), 1u);
    EXPECT_EQ(transactions[0].command, 0x32);
    EXPECT_EQ(transactions[0].wordOffset, 2);
    EXPECT_EQ(transactions[0].wordCount, 1);
    // One word travels in a packet of two; the second word of the pair is zero.
    EXPECT_EQ(transactions[0].words, bytesOf({0xA0, 0xA1, 0, 0}));
    EXPECT_EQ(memory(2, 6), bytesOf({patternByte(2), patternByte(3), 0xA0, 0xA1, patternByte(6),
                                     patternByte(7)}));
    EXPECT_EQ(response.status, 0);
    EXPECT_EQ(response.memoryUnits, 16);
}

struct UnalignedCase {
    uint32_t offset;
    uint32_t length;
    std::vector<uint16_t> fetchedWords;  // word offsets of the fetches, in order
    uint16_t wordOffset;
    uint16_t wordCount;
};

void PrintTo(const UnalignedCase& c, std::ostream* os) {
    *os << "offset " << c.offset << " length " << c.length;
}

class UnalignedWriteTest : public MemoryCommandTest,
                           public ::testing::WithParamInterface<UnalignedCase> {};

TEST_P(UnalignedWriteTest, FetchesTheSharedWordsAndMergesTheCallersBytes) {
    const UnalignedCase& c = GetParam();
    std::vector<uint8_t> data;
    for (uint32_t i = 0; i < c.length; ++i) data.push_back(static_cast<uint8_t>(0xC0 + i));
    VokIdResponse response = sentinelResponse();

    ASSERT_EQ(vokIdWriteCmd(device_, nullptr, 0, c.offset, data.data(), c.length, &response), 0);

    const std::vector<SentTransaction> transactions = sent();
    ASSERT_EQ(transactions.size(), c.fetchedWords.size() + 1);
    for (size_t i = 0; i < c.fetchedWords.size(); ++i) {
        EXPECT_EQ(transactions[i].command, 0x31);
        EXPECT_EQ(transactions[i].wordOffset, c.fetchedWords[i]);
        EXPECT_EQ(transactions[i].wordCount, 1);
    }
    const SentTransaction& write = transactions.back();
    EXPECT_EQ(write.command, 0x32);
    EXPECT_EQ(write.wordOffset, c.wordOffset);
    EXPECT_EQ(write.wordCount, c.wordCount);
    // The words sent: the token's own bytes around the caller's range.
    const uint32_t start = 2u * c.wordOffset;
    std::vector<uint8_t> expected = pattern(start, 2u * c.wordCount);
    std::copy(data.begin(), data.end(), expected.begin() + (c.offset - start));
    const std::vector<uint8_t> wordsSent(write.words.begin(),
                                         write.words.begin() + 2 * c.wordCount);
    EXPECT_EQ(wordsSent, expected);
    EXPECT_TRUE(std::all_of(write.words.begin() + 2 * c.wordCount, write.words.end(),
                            [](uint8_t b) { return b == 0; }));

    std::vector<uint8_t> model = pattern(0, 4096);
    std::copy(data.begin(), data.end(), model.begin() + c.offset);
    EXPECT_EQ(memory(0, 4096), model);
    EXPECT_EQ(response.status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, UnalignedWriteTest,
    ::testing::Values(UnalignedCase{5, 1, {2}, 2, 1}, UnalignedCase{4, 1, {2}, 2, 1},
                      UnalignedCase{5, 2, {2, 3}, 2, 2}, UnalignedCase{3, 4, {1, 3}, 1, 3},
                      UnalignedCase{7, 10, {3, 8}, 3, 6}, UnalignedCase{4093, 3, {2046}, 2046, 2},
                      UnalignedCase{4094, 1, {2047}, 2047, 1}));

TEST_F(MemoryCommandTest, TheRangeMustLieInsideMemoryWithoutWrapping) {
    uint8_t buffer[8] = {};
    VokIdResponse response = sentinelResponse();
    EXPECT_EQ(vokIdReadCmd(device_, nullptr, 0, 4093, buffer, 3, &response), 0);
    EXPECT_EQ(vokIdWriteCmd(device_, nullptr, 0, 4093, buffer, 3, &response), 0);
    clearLog();

    struct Range {
        uint32_t offset;
        uint32_t length;
    };
    for (const Range range : {Range{4093, 4}, Range{4096, 1}, Range{0, 4097}, Range{0xFFFFFFFFu, 2},
                              Range{0xFFFFF000u, 0x2000}}) {
        SCOPED_TRACE(::testing::Message() << range.offset << "+" << range.length);
        std::vector<uint8_t> large(range.length < 8192 ? range.length : 8192, 0x11);
        response = sentinelResponse();
        EXPECT_EQ(
            vokIdReadCmd(device_, nullptr, 0, range.offset, large.data(), range.length, &response),
            3);
        EXPECT_EQ(
            vokIdWriteCmd(device_, nullptr, 0, range.offset, large.data(), range.length, &response),
            3);
        EXPECT_TRUE(isSentinel(response));
        EXPECT_TRUE(std::all_of(large.begin(), large.end(), [](uint8_t b) { return b == 0x11; }));
    }
    EXPECT_EQ(transferCount(), 0u);
}

TEST_F(MemoryCommandTest, ATokenWithoutMemoryRefusesEveryMemoryCommand) {
    voksim::Identity identity;
    identity.memoryUnits = 0;
    createTokenWith(identity);
    uint8_t buffer[2] = {};
    VokIdResponse response = sentinelResponse();

    EXPECT_EQ(vokIdReadCmd(device_, nullptr, 0, 0, buffer, 1, &response), 3);
    EXPECT_EQ(vokIdWriteCmd(device_, nullptr, 0, 0, buffer, 1, &response), 3);
    EXPECT_EQ(vokIdReadExCmd(device_, VOK_BLOCK_1, nullptr, 0, 0, buffer, 1, &response), 3);
    EXPECT_EQ(vokIdWriteExCmd(device_, VOK_BLOCK_1, nullptr, 0, 0, buffer, 1, &response), 3);
    EXPECT_TRUE(isSentinel(response));
    EXPECT_EQ(transferCount(), 0u);
}

TEST_F(MemoryCommandTest, BlockFormsAddressTheBlockAndFetchThroughTheBlock) {
    const uint32_t block3 = 2 * 1014;  // start of block 3 on the default token
    uint8_t buffer[2] = {};
    VokIdResponse response = sentinelResponse();

    ASSERT_EQ(vokIdReadExCmd(device_, VOK_BLOCK_2, nullptr, 0, 1, buffer, 2, &response), 0);
    EXPECT_EQ(bytesOf({buffer[0], buffer[1]}), pattern(1014 + 1, 2));

    const uint8_t data[1] = {0x99};
    ASSERT_EQ(vokIdWriteExCmd(device_, VOK_BLOCK_3, nullptr, 0, 3, data, 1, &response), 0);
    EXPECT_EQ(memory(block3 + 2, 2), bytesOf({patternByte(block3 + 2), 0x99}));

    const std::vector<SentTransaction> transactions = sent();
    ASSERT_EQ(transactions.size(), 3u);
    EXPECT_EQ(transactions[0].command, 0x34);
    EXPECT_EQ(transactions[0].blockByte, 2);
    EXPECT_EQ(transactions[0].wordOffset, 0);
    EXPECT_EQ(transactions[0].wordCount, 2);
    EXPECT_EQ(transactions[1].command, 0x34);  // the fetch goes through the same block
    EXPECT_EQ(transactions[1].blockByte, 3);
    EXPECT_EQ(transactions[1].wordOffset, 1);
    EXPECT_EQ(transactions[2].command, 0x35);
    EXPECT_EQ(transactions[2].blockByte, 3);
    EXPECT_EQ(transactions[2].wordOffset, 1);
    EXPECT_EQ(transactions[2].wordCount, 1);
}

TEST_F(MemoryCommandTest, OnlyTheLowSevenBitsOfTheBlockReachTheToken) {
    uint8_t buffer[2] = {};
    VokIdResponse response = sentinelResponse();
    EXPECT_EQ(
        vokIdReadExCmd(device_, static_cast<BLOCK_ID>(0x85), nullptr, 0, 0, buffer, 2, &response),
        voksim::kStatusBadBlock);
    EXPECT_EQ(response.status, voksim::kStatusBadBlock);
    const std::vector<SentTransaction> transactions = sent();
    ASSERT_EQ(transactions.size(), 1u);
    EXPECT_EQ(transactions[0].blockByte, 0x05);
}

TEST_F(MemoryCommandTest, BlockFormsAreBoundedByTheWholeMemoryOnly) {
    // Past the end of block 1, inside memory: the builder runs it and the
    // token refuses it.
    uint8_t buffer[4] = {0x11, 0x11, 0x11, 0x11};
    VokIdResponse response = sentinelResponse();
    EXPECT_EQ(vokIdReadExCmd(device_, VOK_BLOCK_1, nullptr, 0, 1012, buffer, 4, &response),
              voksim::kStatusOutOfRange);
    EXPECT_EQ(response.status, voksim::kStatusOutOfRange);
    EXPECT_EQ(bytesOf({buffer[0], buffer[1], buffer[2], buffer[3]}),
              bytesOf({0x11, 0x11, 0x11, 0x11}));
    EXPECT_EQ(vokIdReadExCmd(device_, VOK_BLOCK_1, nullptr, 0, 4095, buffer, 2, &response), 3);
}

TEST_F(MemoryCommandTest, AFailedReadLeavesTheBufferAndReportsInTheResponse) {
    voksim::Faults faults;
    faults.statusPhase = 3;
    faults.statusValue = voksim::kStatusAccessDenied;
    setFaults(faults);
    std::vector<uint8_t> buffer(6, 0x11);
    VokIdResponse response = sentinelResponse();

    EXPECT_EQ(vokIdReadCmd(device_, nullptr, 0, 1, buffer.data(), 6, &response),
              voksim::kStatusAccessDenied);
    EXPECT_EQ(buffer, std::vector<uint8_t>(6, 0x11));
    EXPECT_EQ(response.status, voksim::kStatusAccessDenied);
    EXPECT_EQ(response.memoryUnits, 16);
}

TEST_F(MemoryCommandTest, AFailedLeadingFetchSendsNoWriteAndNoTrailingFetch) {
    voksim::Faults faults;
    faults.statusPhase = 3;
    faults.statusValue = voksim::kStatusAccessDenied;
    setFaults(faults);
    const uint8_t data[2] = {0xD0, 0xD1};
    VokIdResponse response = sentinelResponse();

    EXPECT_EQ(vokIdWriteCmd(device_, nullptr, 0, 5, data, 2, &response),
              voksim::kStatusAccessDenied);

    const std::vector<SentTransaction> transactions = sent();
    ASSERT_EQ(transactions.size(), 1u);
    EXPECT_EQ(transactions[0].command, 0x31);
    EXPECT_EQ(transactions[0].wordOffset, 2);
    EXPECT_EQ(response.status, voksim::kStatusAccessDenied);
    EXPECT_EQ(memory(0, 4096), pattern(0, 4096));
}

TEST_F(MemoryCommandTest, AFailedTrailingFetchSendsNoWrite) {
    // A one-word read costs 16 transfers: 2 + 9 + 3 + 2. Transfer 32 is the
    // data reply of the second fetch.
    voksim::Faults faults;
    faults.failTransfer = 32;
    setFaults(faults);
    const uint8_t data[2] = {0xD0, 0xD1};
    VokIdResponse response = sentinelResponse();

    EXPECT_EQ(vokIdWriteCmd(device_, nullptr, 0, 5, data, 2, &response), 5);

    const std::vector<SentTransaction> transactions = sent();
    ASSERT_EQ(transactions.size(), 2u);
    EXPECT_EQ(transactions[0].wordOffset, 2);
    EXPECT_EQ(transactions[1].command, 0x31);
    EXPECT_EQ(transactions[1].wordOffset, 3);
    EXPECT_EQ(response.status, 5);
    EXPECT_EQ(memory(0, 4096), pattern(0, 4096));
}

TEST_F(MemoryCommandTest, AFailedWriteAfterItsFetchesReportsTheWritesResponse) {
    ASSERT_TRUE(voksim::modifyState(node_, [](voksim::TokenState& state) {
        state.blocks[0].locked = 1;  // whole-memory writes respect block locks
    }));
    const uint8_t data[2] = {0xD0, 0xD1};
    VokIdResponse response = sentinelResponse();

    EXPECT_EQ(vokIdWriteCmd(device_, nullptr, 0, 5, data, 2, &response),
              voksim::kStatusBlockLocked);

    const std::vector<SentTransaction> transactions = sent();
    ASSERT_EQ(transactions.size(), 3u);
    EXPECT_EQ(transactions[2].command, 0x32);
    EXPECT_EQ(response.status, voksim::kStatusBlockLocked);
    EXPECT_EQ(memory(0, 4096), pattern(0, 4096));
}

// Random ranges of random data through the unaligned path, checked against a
// byte model of the memory after every write; reads are checked as well.
TEST_F(MemoryCommandTest, RandomWritesMatchAByteModelOfTheMemory) {
    constexpr uint32_t kSeed = 20240611;
    SCOPED_TRACE(::testing::Message() << "seed " << kSeed);
    std::mt19937 random(kSeed);
    const uint32_t memorySize = device_->info.memorySize;
    std::vector<uint8_t> model = pattern(0, memorySize);
    const uint8_t pin[4] = {'1', '2', '3', '4'};  // ignored: main PIN use is off

    for (int round = 0; round < 500; ++round) {
        SCOPED_TRACE(::testing::Message() << "round " << round);
        const uint32_t maxLength = round % 10 == 0 ? memorySize : 24;
        const uint32_t offset = random() % memorySize;
        const uint32_t length = 1 + random() % std::min(maxLength, memorySize - offset);
        std::vector<uint8_t> data(length);
        for (uint8_t& b : data) b = static_cast<uint8_t>(random());
        VokIdResponse response = sentinelResponse();

        const bool withPin = round % 3 == 0;
        ASSERT_EQ(vokIdWriteCmd(device_, withPin ? pin : nullptr, withPin ? 4 : 0, offset,
                                data.data(), length, &response),
                  0);
        ASSERT_EQ(response.status, 0);
        std::copy(data.begin(), data.end(), model.begin() + offset);
        ASSERT_EQ(memory(0, memorySize), model) << "after writing " << length << " at " << offset;

        const uint32_t readOffset = random() % memorySize;
        const uint32_t readLength = 1 + random() % std::min(64u, memorySize - readOffset);
        std::vector<uint8_t> readBack(readLength);
        ASSERT_EQ(
            vokIdReadCmd(device_, nullptr, 0, readOffset, readBack.data(), readLength, &response),
            0);
        ASSERT_TRUE(std::equal(readBack.begin(), readBack.end(), model.begin() + readOffset))
            << "reading " << readLength << " at " << readOffset;
    }
}

}  // namespace
}  // namespace vok_test
