// The token model on its own, without files or transport: geometry, tags,
// and any sequence of host packets handled without harm.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <random>
#include <set>

#include "voksim/tokenModel.h"

namespace {

using voksim::ControlSetup;
using voksim::TokenIdentity;
using voksim::TokenState;

TokenIdentity identity(uint8_t model, uint8_t units, uint8_t level = 22) {
    TokenIdentity id{};
    const uint8_t tokenId[8] = {0x56, 0x4F, 0x4B, 0, 0, 0, 0, 1};
    std::memcpy(id.tokenId, tokenId, 8);
    id.memoryModel = model;
    id.memoryUnits = units;
    id.protocolLevel = level;
    return id;
}

std::unique_ptr<TokenState> freshState(const TokenIdentity& id) {
    auto state = std::make_unique<TokenState>();
    voksim::initTokenState(*state, id);
    return state;
}

int32_t out(TokenState& state, uint64_t opener, std::vector<uint8_t> packet) {
    const ControlSetup setup{voksim::kRequestTypeOut, 0, 0, 0,
                             static_cast<uint16_t>(packet.size())};
    return voksim::modelControlTransfer(state, opener, setup, packet.data(), 0);
}

std::vector<uint8_t> in(TokenState& state, uint64_t opener, uint16_t wValue, uint16_t length = 8) {
    std::vector<uint8_t> reply(length, 0xAA);
    const ControlSetup setup{voksim::kRequestTypeIn, 0, wValue, 0, length};
    const int32_t got = voksim::modelControlTransfer(state, opener, setup, reply.data(), 0);
    reply.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return reply;
}

TEST(ModelGeometryTest, BlocksSplitTheMemoryBelowThePinArea) {
    struct Case {
        uint8_t model, units;
        uint32_t memory, pinAddress, blockSize;
    };
    for (const Case& c : {Case{2, 16, 4096, 4062, 1014}, Case{2, 255, 65280, 65246, 16310},
                          Case{1, 16, 256, 222, 54}, Case{0, 16, 256, 222, 54},
                          Case{1, 128, 2048, 222, 54}, Case{1, 8, 128, 222, 32},
                          Case{2, 0, 0, 0, 0}, Case{0, 0, 0, 222, 0}, Case{3, 1, 256, 222, 54}}) {
        const voksim::Geometry g = voksim::tokenGeometry(identity(c.model, c.units));
        EXPECT_EQ(g.memorySize, c.memory) << int(c.model) << "/" << int(c.units);
        EXPECT_EQ(g.pinAddress, c.pinAddress) << int(c.model) << "/" << int(c.units);
        EXPECT_EQ(g.pinControlAddress, c.pinAddress + 32);
        EXPECT_EQ(g.blockSize, c.blockSize) << int(c.model) << "/" << int(c.units);
        EXPECT_EQ(g.blockSize % 2, 0u);
        EXPECT_LE(voksim::blockStart(g, 4) + g.blockSize, std::min(g.memorySize, g.pinAddress));
    }
}

// Neither the tags handed out before nor the token's identity tell the next
// tag: two tokens of one identity hand out different tags, and the step from
// one tag to the next is not fixed.
TEST(ModelTagTest, TagsAreNeverZeroAndCannotBeForetold) {
    std::vector<uint8_t> tags[2];
    for (std::vector<uint8_t>& sequence : tags) {
        auto state = freshState(identity(2, 16));
        for (int i = 0; i < 64; ++i) {
            out(*state, 1, {0, 0x31, 0, 0, 0, 0, 0, 0});
            const std::vector<uint8_t> reply = in(*state, 1, 0);
            ASSERT_EQ(reply[0], 0);
            sequence.push_back(reply[2]);
        }
    }
    EXPECT_NE(tags[0], tags[1]);
    EXPECT_EQ(std::count(tags[0].begin(), tags[0].end(), 0), 0);
    std::set<int> steps;
    for (size_t i = 1; i < tags[0].size(); ++i) steps.insert((tags[0][i] - tags[0][i - 1]) & 0xFF);
    EXPECT_GT(steps.size(), 8u);
}

TEST(ModelStateTest, AFreshStateHasTheDefaultsAndIsValid) {
    auto state = freshState(identity(2, 16));
    EXPECT_TRUE(voksim::isValidTokenState(*state, sizeof(TokenState)));
    EXPECT_FALSE(voksim::isValidTokenState(*state, sizeof(TokenState) - 1));
    EXPECT_EQ(std::vector<uint8_t>(state->secParameters, state->secParameters + 4),
              (std::vector<uint8_t>{0, 4, 3, 30}));
    for (unsigned block = 1; block <= 4; ++block) {
        EXPECT_EQ(voksim::blockAttributes(*state, block, 0), 0x0003);
    }
    EXPECT_FALSE(voksim::mainPinSet(*state));
    state->formatVersion = 99;
    EXPECT_FALSE(voksim::isValidTokenState(*state, sizeof(TokenState)));
}

TEST(ModelStateTest, AnUnknownRequestIsStalled) {
    auto state = freshState(identity(2, 16));
    uint8_t data[8] = {};
    EXPECT_EQ(voksim::modelControlTransfer(*state, 1, ControlSetup{0x80, 6, 0x100, 0, 8}, data, 0),
              -EPIPE);
    EXPECT_EQ(voksim::modelControlTransfer(*state, 1, ControlSetup{0x42, 0, 0, 2, 8}, data, 0),
              -EPIPE);
}

// Random packets from several openers, shaped enough to reach deep into the
// phases: the model must keep every access inside its record (the sanitizers
// watch) and keep answering well-formed replies.
TEST(ModelFuzzTest, RandomTrafficNeverBreaksTheModel) {
    for (const TokenIdentity& id : {identity(2, 16), identity(1, 8, 21), identity(2, 0),
                                    identity(2, 255, 21), identity(0, 255)}) {
        auto state = freshState(id);
        std::mt19937 random(12345);
        uint8_t tags[4] = {};
        for (int step = 0; step < 60000; ++step) {
            const uint64_t opener = random() % 4;
            const unsigned kind = random() % 10;
            if (kind < 6) {
                std::vector<uint8_t> packet(8);
                for (auto& byte : packet) byte = static_cast<uint8_t>(random());
                packet[0] = static_cast<uint8_t>(random() % 8);
                if (random() % 8 == 0) packet[0] = 0xFF;
                if (packet[0] == 0) packet[1] = static_cast<uint8_t>(0x30 + random() % 17);
                if (packet[0] == 0) packet[2] = static_cast<uint8_t>(random() % 6);
                if (random() % 4) packet[1] = packet[0] == 0 ? packet[1] : tags[opener];
                if (packet[0] == 2 && random() % 2) std::memcpy(packet.data() + 2, id.tokenId, 4);
                if (random() % 50 == 0) packet.resize(random() % 12);
                EXPECT_EQ(out(*state, opener, packet), static_cast<int32_t>(packet.size()));
            } else if (kind < 9) {
                const uint16_t wValue =
                    random() % 3 ? tags[opener] : static_cast<uint16_t>(random() % 256);
                const uint16_t length = random() % 10 ? 8 : static_cast<uint16_t>(random() % 20);
                const std::vector<uint8_t> reply = in(*state, opener, wValue, length);
                ASSERT_LE(reply.size(), 16u);
                if (reply.size() >= 3 && reply[0] == 0 && reply[2] != 0) tags[opener] = reply[2];
                if (!reply.empty()) {
                    EXPECT_NE(reply[0], 3);
                    EXPECT_NE(reply[0], 5);
                    EXPECT_NE(reply[0], 7);
                    EXPECT_NE(reply[0], 9);
                }
            } else {
                voksim::modelPortReset(*state, opener);
            }
        }
        EXPECT_TRUE(voksim::isValidTokenState(*state, sizeof(TokenState)));
    }
}

}  // namespace
