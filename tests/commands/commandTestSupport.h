// Shared pieces of the token-command tests: a virtual token in a private
// temporary tree with a device record for it, and a decoder that turns the
// token's transfer log back into the transactions the host sent.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "commands/memoryCommands.h"
#include "commands/tokenCommands.h"
#include "discovery/deviceList.h"
#include "support/bytes.h"
#include "support/tokenDevice.h"
#include "support/tokenMemory.h"
#include "voksim/voksim.h"

namespace vok_test {

// What one transaction carried to the token, decoded from its packets.
struct SentTransaction {
    uint8_t command = 0;
    uint8_t blockByte = 0;         // byte 2 of the phase-0 packet (record byte 1)
    std::vector<uint8_t> pin;      // phase-1 payloads in order (32 bytes when sent)
    std::vector<uint8_t> tokenId;  // phase-2 payloads (8 bytes when sent)
    bool hasHeader = false;
    uint16_t wordOffset = 0;
    uint16_t wordCount = 0;
    std::vector<uint8_t> words;      // phase-4 payloads (4 bytes a packet)
    std::vector<uint8_t> parameter;  // phase-5 payload (bytes 2-5 of the packet)
    std::vector<uint8_t> newPin;     // phase-6 payloads
};

inline std::vector<SentTransaction> decodeTransactions(const std::vector<voksim::LogEntry>& log) {
    std::vector<SentTransaction> sent;
    for (const voksim::LogEntry& entry : log) {
        if (entry.kind != voksim::LogEntry::kControl || entry.bRequestType != 0x42 ||
            entry.data.size() != 8) {
            continue;
        }
        const uint8_t* packet = entry.data.data();
        const uint8_t phase = packet[0];
        if (phase == 0x00) {
            SentTransaction transaction;
            transaction.command = packet[1];
            transaction.blockByte = packet[2];
            sent.push_back(transaction);
            continue;
        }
        if (sent.empty() || phase > 0x06) continue;  // the reset exchange's packet
        SentTransaction& current = sent.back();
        const std::vector<uint8_t> payload(packet + 2, packet + 6);
        switch (phase) {
            case 0x01:
                current.pin.insert(current.pin.end(), payload.begin(), payload.end());
                break;
            case 0x02:
                current.tokenId.insert(current.tokenId.end(), payload.begin(), payload.end());
                break;
            case 0x03:
                current.hasHeader = true;
                current.wordOffset = static_cast<uint16_t>(packet[2] | (packet[3] << 8));
                current.wordCount = static_cast<uint16_t>(packet[4] | (packet[5] << 8));
                break;
            case 0x04:
                current.words.insert(current.words.end(), payload.begin(), payload.end());
                break;
            case 0x05:
                current.parameter = payload;
                break;
            default:
                current.newPin.insert(current.newPin.end(), payload.begin(), payload.end());
                break;
        }
    }
    return sent;
}

using testsupport::bytesOf;

inline std::vector<uint8_t> zeroPinField() { return std::vector<uint8_t>(32, 0); }

inline std::vector<uint8_t> pinField(const std::string& pin) {
    std::vector<uint8_t> field(32, 0);
    std::memcpy(field.data(), pin.data(), pin.size());
    return field;
}

inline VokIdResponse sentinelResponse() {
    VokIdResponse response;
    std::memset(&response, 0xAB, sizeof response);
    return response;
}

inline bool isSentinel(const VokIdResponse& response) {
    const VokIdResponse sentinel = sentinelResponse();
    return std::memcmp(&response, &sentinel, sizeof response) == 0;
}

// A fresh virtual token, its device record with the info filled in, and a
// clean transfer log.
class TokenTest : public ::testing::Test {
  protected:
    void SetUp() override { createTokenWith(voksim::Identity{}); }

    void TearDown() override { destroyToken(); }

    // Replaces the token with one of another identity.
    void createTokenWith(const voksim::Identity& identity) {
        destroyToken();
        token_.emplace(identity, "vok-commands-");
        node_ = token_->node();
        device_ = token_->device();
        ASSERT_EQ(vokIdGetInfoCmd(device_, &device_->info), 0);
        clearLog();
    }

    void destroyToken() {
        device_ = nullptr;
        token_.reset();
    }

    void clearLog() { ASSERT_TRUE(voksim::clearLog(node_)); }

    std::vector<SentTransaction> sent() const { return decodeTransactions(voksim::readLog(node_)); }

    size_t transferCount() const { return voksim::readLog(node_).size(); }

    void setFaults(const voksim::Faults& faults) { ASSERT_TRUE(voksim::setFaults(node_, faults)); }

    std::vector<uint8_t> memory(uint32_t address, uint32_t length) const {
        return testsupport::tokenMemory(node_, address, length);
    }

    void setMemory(uint32_t address, const std::vector<uint8_t>& values) {
        testsupport::setTokenMemory(node_, address, values);
    }

    // Fills the first `length` bytes of memory with a pattern whose bytes
    // differ from their neighbours (byte i = i * 7 + 1).
    void fillMemoryPattern(uint32_t length) {
        ASSERT_TRUE(voksim::modifyState(node_, [&](voksim::TokenState& state) {
            for (uint32_t i = 0; i < length; ++i) state.memory[i] = static_cast<uint8_t>(i * 7 + 1);
        }));
    }

    static uint8_t patternByte(uint32_t address) { return static_cast<uint8_t>(address * 7 + 1); }

    std::optional<testsupport::TokenDevice> token_;
    std::string node_;
    VokDevice* device_ = nullptr;
};

}  // namespace vok_test
