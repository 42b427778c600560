// A virtual token in a private usbfs tree, with a device record pointing at
// its node, plus helpers to build request records and to check the token's
// transfer log.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "discovery/deviceList.h"
#include "discovery/linuxUsb.h"
#include "support/tokenDevice.h"
#include "vok/vok.h"
#include "voksim/voksim.h"

namespace vok_test {

constexpr uint8_t kTag = 0x5A;
constexpr uint16_t kTimeoutMs = 6000;
constexpr uint8_t kOut = 0x42;
constexpr uint8_t kIn = 0xC2;

class VirtualToken {
  public:
    explicit VirtualToken(const voksim::Identity& identity = voksim::Identity{})
        : identity_(identity), token_(identity, "vok-protocol-") {}

    VokDevice* device() const { return token_.device(); }
    const std::string& node() const { return token_.node(); }
    const voksim::Identity& identity() const { return identity_; }

    // Faults start counting transfers afresh; the log starts empty too.
    void setFaults(voksim::Faults faults) const {
        ASSERT_TRUE(voksim::setFaults(node(), faults));
        ASSERT_TRUE(voksim::clearLog(node()));
    }
    void useTag(uint8_t tag) const {
        voksim::Faults faults;
        faults.fixedTag = tag;
        setFaults(faults);
    }

    // The control transfers of the log (port resets left out).
    std::vector<voksim::LogEntry> transfers() const {
        std::vector<voksim::LogEntry> result;
        for (auto& entry : voksim::readLog(node())) {
            if (entry.kind == voksim::LogEntry::kControl) {
                result.push_back(entry);
            }
        }
        return result;
    }
    std::vector<voksim::LogEntry> log() const { return voksim::readLog(node()); }

  private:
    voksim::Identity identity_;
    testsupport::TokenDevice token_;
};

// A zero-filled record addressed to the token, with a PIN of "1234".
inline void prepareRequest(TDRVREQUEST_MEK& request, uint8_t command,
                           const voksim::Identity& identity = voksim::Identity{}) {
    std::memset(&request, 0, sizeof request);
    request.command = command;
    std::memcpy(request.pin, "1234", 4);
    std::memcpy(request.tokenId, identity.tokenId, sizeof request.tokenId);
}

inline uint8_t byteOf(const TDRVREQUEST_MEK& request, size_t offset) {
    return reinterpret_cast<const uint8_t*>(&request)[offset];
}

inline std::string hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char buffer[4];
    for (uint8_t byte : bytes) {
        snprintf(buffer, sizeof buffer, "%02X ", byte);
        text += buffer;
    }
    return text;
}

// A transfer to the token: 8 bytes, wValue 0, starting with `prefix`.
inline ::testing::AssertionResult isOut(const voksim::LogEntry& entry,
                                        std::initializer_list<uint8_t> prefix) {
    if (entry.bRequestType != kOut || entry.bRequest != 0 || entry.wValue != 0 ||
        entry.wIndex != 0 || entry.wLength != 8 || entry.timeout != kTimeoutMs) {
        return ::testing::AssertionFailure()
               << "setup type " << int(entry.bRequestType) << " request " << int(entry.bRequest)
               << " value " << entry.wValue << " index " << entry.wIndex << " length "
               << entry.wLength << " timeout " << entry.timeout;
    }
    if (entry.data.size() != 8 || !std::equal(prefix.begin(), prefix.end(), entry.data.begin())) {
        return ::testing::AssertionFailure() << "bytes " << hex(entry.data);
    }
    return ::testing::AssertionSuccess();
}

// A transfer from the token of `length` bytes, with `value` as wValue.
inline ::testing::AssertionResult isIn(const voksim::LogEntry& entry, uint16_t value,
                                       uint16_t length = 8) {
    if (entry.bRequestType != kIn || entry.bRequest != 0 || entry.wValue != value ||
        entry.wIndex != 0 || entry.wLength != length || entry.timeout != kTimeoutMs) {
        return ::testing::AssertionFailure()
               << "setup type " << int(entry.bRequestType) << " request " << int(entry.bRequest)
               << " value " << entry.wValue << " index " << entry.wIndex << " length "
               << entry.wLength << " timeout " << entry.timeout;
    }
    return ::testing::AssertionSuccess();
}

// The three transfers of the reset exchange, for transaction tag `tag`.
inline ::testing::AssertionResult isResetExchange(const std::vector<voksim::LogEntry>& transfers,
                                                  size_t first, uint8_t tag) {
    if (transfers.size() != first + 3) {
        return ::testing::AssertionFailure()
               << transfers.size() << " transfers, expected " << first + 3;
    }
    if (auto r = isIn(transfers[first], tag); !r) return r << " (first reset read)";
    if (auto r = isOut(transfers[first + 1], {0xFF}); !r) return r << " (reset packet)";
    if (auto r = isIn(transfers[first + 2], tag); !r) return r << " (second reset read)";
    return ::testing::AssertionSuccess();
}

}  // namespace vok_test
