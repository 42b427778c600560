// The token's wire protocol: what each vendor control transfer carries. The
// library's engine, packet layer, trace and capture, the virtual token and the
// vok tool's decoder take these facts from here; the dissector's tables are
// checked against them (wireFactsDump.cpp prints them for that test).
#pragma once

#include <cstddef>
#include <cstdint>

#include "vok/vok.h"

namespace vokwire {

// The control setup of every transfer of the protocol.
inline constexpr uint8_t kRequestTypeToToken = 0x42;    // host-to-device, vendor, endpoint
inline constexpr uint8_t kRequestTypeFromToken = 0xC2;  // device-to-host, vendor, endpoint
inline constexpr uint8_t kRequest = 0;                  // bRequest
inline constexpr uint16_t kIndex = 0;                   // wIndex
inline constexpr unsigned kTimeoutMs = 6000;
// wValue: 0 on every packet to the token and on the phase-0 reply; the
// transaction tag on every later reply.

inline constexpr size_t kPacketSize = 8;
inline constexpr size_t kLongReplySize = 16;

// A request packet: the phase, then the tag (phase 0: the command code and
// the block byte), then four payload bytes; the rest is filler.
inline constexpr size_t kPacketPhase = 0;
inline constexpr size_t kPacketTag = 1;
inline constexpr size_t kPacketCommand = 1;    // phase 0
inline constexpr size_t kPacketBlockByte = 2;  // phase 0: block bits 0-6, PIN kind bit 7
inline constexpr size_t kPacketPayload = 2;
inline constexpr size_t kPayloadSize = 4;
// The reset exchange's packet carries this in place of a phase.
inline constexpr uint8_t kResetMarker = 0xFF;

// A reply: status, flags (phase 1: the PIN phase's reply byte), the tag or
// its echo, then data (phase 0: version, memory model, protocol level, info
// byte, memory units; read loop and phase 5: four data bytes). A long
// phase-0 reply carries eight more data bytes.
inline constexpr size_t kReplyStatus = 0;
inline constexpr size_t kReplyFlags = 1;
inline constexpr size_t kReplyTag = 2;
inline constexpr size_t kReplyData = 3;
inline constexpr size_t kLongReplyData = 8;

// The phases; kPhaseReset stands for the reset exchange.
enum Phase : int {
    kPhaseReset = -1,
    kPhaseOpen = 0,
    kPhasePin = 1,
    kPhaseTokenId = 2,
    kPhaseMemoryHeader = 3,
    kPhaseWords = 4,
    kPhaseParameter = 5,
    kPhaseNewPin = 6,
};
inline constexpr unsigned kPinPackets = sizeof(TDRVREQUEST_MEK::pin) / kPayloadSize;
inline constexpr unsigned kTokenIdPackets = sizeof(TDRVREQUEST_MEK::tokenId) / kPayloadSize;
inline constexpr unsigned kNewPinPackets = kPinPackets;
inline constexpr unsigned kWordsPerPacket = 2;

struct CommandName {
    uint8_t code;
    const char* name;
};
inline constexpr CommandName kCommandNames[] = {
    {VOK_CMD_GET_INFO, "get-info"},
    {VOK_CMD_READ, "read"},
    {VOK_CMD_WRITE, "write"},
    {VOK_CMD_INITIALIZE, "initialize"},
    {VOK_CMD_READ_EX, "read-block"},
    {VOK_CMD_WRITE_EX, "write-block"},
    {VOK_CMD_SET_PIN, "set-pin"},
    {VOK_CMD_SET_VENDOR_ID, "set-vendor-id"},
    {VOK_CMD_GET_VENDOR_ID, "get-vendor-id"},
    {VOK_CMD_SET_BLOCK_ATTR, "set-block-attributes"},
    {VOK_CMD_GET_BLOCK_ATTR, "get-block-attributes"},
    {VOK_CMD_LOCK_BLOCK, "lock-block"},
    {VOK_CMD_SET_SEC_PARAMETERS, "set-security-parameters"},
    {VOK_CMD_GET_SEC_PARAMETERS, "get-security-parameters"},
    {VOK_CMD_SET_BLOCK_PIN_USE, "set-block-pin-use"},
    {VOK_CMD_INITIALIZE_BLOCK, "initialize-block"},
};

// The command's name, or null for a code the protocol does not define.
constexpr const char* commandName(uint8_t code) {
    for (const CommandName& command : kCommandNames) {
        if (command.code == code) return command.name;
    }
    return nullptr;
}

// Codes whose long phase-0 reply ends the transaction.
constexpr bool endsAfterPhase0(uint8_t code) {
    return code == VOK_CMD_GET_INFO || code == VOK_CMD_GET_VENDOR_ID ||
           code == VOK_CMD_GET_BLOCK_ATTR || code == VOK_CMD_GET_SEC_PARAMETERS;
}
constexpr bool isMemoryRead(uint8_t code) {
    return code == VOK_CMD_READ || code == VOK_CMD_READ_EX;
}
constexpr bool isMemoryWrite(uint8_t code) {
    return code == VOK_CMD_WRITE || code == VOK_CMD_WRITE_EX;
}
// Codes that send one parameter packet in phase 5 ("set-pin" also phase 6).
constexpr bool sendsParameters(uint8_t code) {
    return code == VOK_CMD_SET_PIN || code == VOK_CMD_SET_VENDOR_ID ||
           code == VOK_CMD_SET_BLOCK_ATTR || code == VOK_CMD_LOCK_BLOCK ||
           code == VOK_CMD_SET_SEC_PARAMETERS || code == VOK_CMD_SET_BLOCK_PIN_USE;
}
constexpr size_t phase0ReplySize(uint8_t code) {
    return endsAfterPhase0(code) ? kLongReplySize : kPacketSize;
}

// What a byte of a transfer may reveal. The masking rule: a PIN byte (the
// payload of the PIN and new-PIN packets, and the new PIN's length) is never
// shown unless its owner asks; memory bytes (the payload of the words packets
// and of the read loop's replies) may hold a PIN kept in memory and are
// masked wherever PIN bytes are.
enum class Secret : uint8_t { kNone, kPin, kMemory };

constexpr Secret secretByte(uint8_t command, int phase, bool toToken, size_t index) {
    const bool payload = index >= kPacketPayload && index < kPacketPayload + kPayloadSize;
    if (toToken) {
        if (phase == kPhaseParameter) {
            return command == VOK_CMD_SET_PIN && index == kPacketPayload ? Secret::kPin
                                                                         : Secret::kNone;
        }
        if ((phase == kPhasePin || phase == kPhaseNewPin) && payload) return Secret::kPin;
        if (phase == kPhaseWords && payload) return Secret::kMemory;
        return Secret::kNone;
    }
    const bool replyData = index >= kReplyData && index < kReplyData + kPayloadSize;
    return phase == kPhaseMemoryHeader && isMemoryRead(command) && replyData ? Secret::kMemory
                                                                             : Secret::kNone;
}

constexpr bool maskedByte(uint8_t command, int phase, bool toToken, size_t index) {
    return secretByte(command, phase, toToken, index) != Secret::kNone;
}

// What a masked byte becomes in a capture ('*').
inline constexpr uint8_t kMaskedByte = 0x2A;

}  // namespace vokwire
