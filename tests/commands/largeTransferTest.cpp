// Memory transfers larger than one request record, on the largest token
// (255 units of 256 bytes = 65280 bytes): several transactions of at most
// 8192 words, in address order.
#include <algorithm>
#include <random>
#include <vector>

#include "commandTestSupport.h"

namespace vok_test {
namespace {

constexpr uint32_t kMemorySize = 65280;

struct Part {
    uint8_t command;
    uint16_t wordOffset;
    uint16_t wordCount;

    bool operator==(const Part&) const = default;
};

void PrintTo(const Part& part, std::ostream* os) {
    *os << "{0x" << std::hex << int{part.command} << std::dec << ", " << part.wordOffset << ", "
        << part.wordCount << "}";
}

class LargeTransferTest : public TokenTest {
  protected:
    void SetUp() override {
        voksim::Identity identity;
        identity.memoryUnits = 255;
        createTokenWith(identity);
        ASSERT_EQ(device_->info.memorySize, kMemorySize);
        fillMemoryPattern(kMemorySize);
        clearLog();
    }

    std::vector<Part> parts() const {
        std::vector<Part> result;
        for (const SentTransaction& t : sent())
            result.push_back({t.command, t.wordOffset, t.wordCount});
        return result;
    }

    static std::vector<uint8_t> randomBytes(uint32_t length, uint32_t seed) {
        std::mt19937 random(seed);
        std::vector<uint8_t> data(length);
        for (uint8_t& b : data) b = static_cast<uint8_t>(random());
        return data;
    }

    std::vector<uint8_t> patternMemory() const {
        std::vector<uint8_t> values(kMemorySize);
        for (uint32_t i = 0; i < kMemorySize; ++i) values[i] = patternByte(i);
        return values;
    }
};

TEST_F(LargeTransferTest, TheWholeMemoryIsWrittenAndReadBackInOneCallEach) {
    const std::vector<uint8_t> data = randomBytes(kMemorySize, 7);
    VokIdResponse response = sentinelResponse();

    ASSERT_EQ(vokIdWriteCmd(device_, nullptr, 0, 0, data.data(), kMemorySize, &response), 0);
    EXPECT_EQ(response.status, 0);
    EXPECT_EQ(memory(0, kMemorySize), data);
    EXPECT_EQ(parts(),
              (std::vector<Part>{
                  {0x32, 0, 8192}, {0x32, 8192, 8192}, {0x32, 16384, 8192}, {0x32, 24576, 8064}}));

    clearLog();
    std::vector<uint8_t> readBack(kMemorySize);
    response = sentinelResponse();
    ASSERT_EQ(vokIdReadCmd(device_, nullptr, 0, 0, readBack.data(), kMemorySize, &response), 0);
    EXPECT_EQ(response.status, 0);
    EXPECT_EQ(readBack, data);
    EXPECT_EQ(parts(),
              (std::vector<Part>{
                  {0x31, 0, 8192}, {0x31, 8192, 8192}, {0x31, 16384, 8192}, {0x31, 24576, 8064}}));
}

TEST_F(LargeTransferTest, AnUnalignedWriteAcrossTheRecordBoundaryFetchesOnlyItsEnds) {
    // Bytes 1..16384 touch words 0..8192: the first part needs the leading
    // fetch, the second (one word) the trailing one.
    const std::vector<uint8_t> data = randomBytes(16384, 11);
    VokIdResponse response = sentinelResponse();

    ASSERT_EQ(vokIdWriteCmd(device_, nullptr, 0, 1, data.data(), 16384, &response), 0);

    EXPECT_EQ(parts(),
              (std::vector<Part>{{0x31, 0, 1}, {0x31, 8192, 1}, {0x32, 0, 8192}, {0x32, 8192, 1}}));
    const std::vector<SentTransaction> transactions = sent();
    EXPECT_EQ(transactions[3].words, bytesOf({data.back(), patternByte(16385), 0, 0}));
    std::vector<uint8_t> model = patternMemory();
    std::copy(data.begin(), data.end(), model.begin() + 1);
    EXPECT_EQ(memory(0, kMemorySize), model);
}

TEST_F(LargeTransferTest, AnUnalignedReadAcrossTheRecordBoundary) {
    std::vector<uint8_t> buffer(16384);
    VokIdResponse response = sentinelResponse();

    ASSERT_EQ(vokIdReadCmd(device_, nullptr, 0, 1, buffer.data(), 16384, &response), 0);

    EXPECT_EQ(parts(), (std::vector<Part>{{0x31, 0, 8192}, {0x31, 8192, 1}}));
    const std::vector<uint8_t> model = patternMemory();
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), model.begin() + 1));

    // From inside the second part to the very end of memory, through a block
    // form: the token's block 1 ends at 16310, so this is refused by the
    // token, not by the builder.
    EXPECT_EQ(
        vokIdReadExCmd(device_, VOK_BLOCK_1, nullptr, 0, 16383, buffer.data(), 16384, &response),
        voksim::kStatusOutOfRange);
}

TEST_F(LargeTransferTest, AReadWhoseSecondPartFailsLeavesTheBufferUntouched) {
    // The first part (8192 words) costs 2 + 9 + 3 + 1 + 4096 transfers.
    voksim::Faults faults;
    faults.failTransfer = 4111 + 5;  // a PIN packet of the second part
    setFaults(faults);
    std::vector<uint8_t> buffer(3 * 16384, 0x11);
    VokIdResponse response = sentinelResponse();

    EXPECT_EQ(vokIdReadCmd(device_, nullptr, 0, 0, buffer.data(), 3 * 16384, &response), 5);

    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == 0x11; }));
    EXPECT_EQ(response.status, 5);
    // The command ended with the failed part.
    EXPECT_EQ(parts(), (std::vector<Part>{{0x31, 0, 8192}, {0x31, 0, 0}}));
}

TEST_F(LargeTransferTest, AWriteWhoseSecondPartIsRefusedKeepsTheFirstPart) {
    // Block 3 (from byte 32620) is locked. A write from 16236 puts its part
    // boundary exactly there: the token stores the first part and refuses the
    // second.
    ASSERT_TRUE(
        voksim::modifyState(node_, [](voksim::TokenState& state) { state.blocks[2].locked = 1; }));
    const uint32_t offset = 32620 - 16384;
    const std::vector<uint8_t> data = randomBytes(16384 + 100, 13);
    VokIdResponse response = sentinelResponse();

    EXPECT_EQ(vokIdWriteCmd(device_, nullptr, 0, offset, data.data(),
                            static_cast<uint32_t>(data.size()), &response),
              voksim::kStatusBlockLocked);

    EXPECT_EQ(response.status, voksim::kStatusBlockLocked);
    EXPECT_EQ(parts(), (std::vector<Part>{{0x32, offset / 2, 8192}, {0x32, 32620 / 2, 50}}));
    std::vector<uint8_t> model = patternMemory();
    std::copy(data.begin(), data.begin() + 16384, model.begin() + offset);
    EXPECT_EQ(memory(0, kMemorySize), model);
}

TEST_F(LargeTransferTest, AWriteWhoseSecondPartFailsInTransportStopsThere) {
    // The first part (8192 words) costs 2 + 9 + 3 + 1 + 4096 + 1 transfers.
    voksim::Faults faults;
    faults.failTransfer = 4112 + 3;  // the first PIN packet of the second part
    setFaults(faults);
    const std::vector<uint8_t> data = randomBytes(3 * 16384, 17);
    VokIdResponse response = sentinelResponse();

    EXPECT_EQ(vokIdWriteCmd(device_, nullptr, 0, 0, data.data(), 3 * 16384, &response), 5);

    EXPECT_EQ(response.status, 5);
    std::vector<uint8_t> model = patternMemory();
    std::copy(data.begin(), data.begin() + 16384, model.begin());
    EXPECT_EQ(memory(0, kMemorySize), model);
    EXPECT_EQ(parts(), (std::vector<Part>{{0x32, 0, 8192}, {0x32, 0, 0}}));
}

}  // namespace
}  // namespace vok_test
