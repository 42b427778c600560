// Single control transfers, filler bytes and the reset exchange.
#include <gtest/gtest.h>

#include <array>

#include "protocol/packets.h"
#include "virtualToken.h"

namespace {

using vok_test::isIn;
using vok_test::isOut;
using vok_test::VirtualToken;

// Keeps the token's node open for the length of a test.
class OpenToken : public testing::Test {
  protected:
    void SetUp() override {
        token_.useTag(vok_test::kTag);
        ASSERT_GE(vokOpenDevice(token_.device()), 0);
    }
    void TearDown() override { EXPECT_EQ(vokCloseDevice(token_.device()), 0); }

    // Phase 0 of a short query by hand: the token then owes a 16-byte reply.
    int32_t sendQueryOpening() {
        std::array<uint8_t, 8> packet = {0x00, VOK_CMD_GET_SEC_PARAMETERS};
        return control_transfer(token_.device(), 0, packet.data(), packet.size(), 0);
    }

    VirtualToken token_;
};

TEST_F(OpenToken, TransfersCarryTheVendorSetupInBothDirections) {
    ASSERT_EQ(sendQueryOpening(), 0);
    std::array<uint8_t, 16> reply{};
    // Any non-zero direction reads from the token.
    EXPECT_EQ(control_transfer(token_.device(), 2, reply.data(), reply.size(), 0), 0);

    const auto t = token_.transfers();
    ASSERT_EQ(t.size(), 2u);
    EXPECT_TRUE(isOut(t[0], {0x00, 0x3D}));
    EXPECT_TRUE(isIn(t[1], 0, 16));
    EXPECT_EQ(t[1].result, 16);
    EXPECT_TRUE(std::equal(reply.begin(), reply.end(), t[1].data.begin()));
}

TEST_F(OpenToken, ValueBecomesTheZeroExtendedSetupValue) {
    std::array<uint8_t, 8> reply{};
    control_transfer(token_.device(), 1, reply.data(), reply.size(), 0xAB);
    const auto t = token_.transfers();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_TRUE(isIn(t[0], 0x00AB));
}

TEST_F(OpenToken, ShortOrFailedTransfersReportFailure) {
    voksim::Faults faults;
    faults.shortTransfer = 2;  // the reply comes one byte short
    token_.setFaults(faults);
    ASSERT_EQ(sendQueryOpening(), 0);
    std::array<uint8_t, 16> reply{};
    EXPECT_EQ(control_transfer(token_.device(), 1, reply.data(), reply.size(), 0), -1);

    for (int error : {EPIPE, ETIMEDOUT, EPROTO}) {
        faults = {};
        faults.failTransfer = 1;
        faults.failErrno = error;
        token_.setFaults(faults);
        EXPECT_EQ(sendQueryOpening(), -1) << "errno " << error;
    }
}

TEST_F(OpenToken, ResetExchangeMakesAllThreeTransfersWhenEveryOneFails) {
    voksim::Faults faults;
    faults.failTransfer = 1;
    faults.failAll = true;
    token_.setFaults(faults);
    reset_dongle(token_.device(), 0x77);
    EXPECT_TRUE(vok_test::isResetExchange(token_.transfers(), 0, 0x77));
}

TEST(FillRandom, WritesExactlyTheBytesAskedFor) {
    std::array<uint8_t, 10> buffer;
    buffer.fill(0xA5);
    fill_random(buffer.data() + 1, 0);
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == 0xA5; }));

    // The counter moves between reads, so a run of eight equal bytes would
    // mean the buffer was not written; one retry rules out a wrap-around fluke.
    auto allSentinel = [&] {
        return std::all_of(buffer.begin() + 1, buffer.begin() + 9,
                           [](uint8_t b) { return b == 0xA5; });
    };
    fill_random(buffer.data() + 1, 8);
    if (allSentinel()) fill_random(buffer.data() + 1, 8);
    EXPECT_FALSE(allSentinel());
    EXPECT_EQ(buffer[0], 0xA5);
    EXPECT_EQ(buffer[9], 0xA5);
}

}  // namespace
