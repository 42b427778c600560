// The token model: the device side of the token protocol, as plain functions
// over one plain record. The record lives in a file mapped by every process
// that uses the token (see voksim.h); the model itself knows nothing of files,
// locks or transports, so it can be driven directly by a test.
//
// Every field here is a fixed-width integer: the record is shared between
// processes and kept on disk, so it holds no pointers and no bool.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/tokenLimits.h"
#include "common/wireFacts.h"

namespace voksim {

// The token's own status bytes. They never take the values 3, 5, 7 and 9
// that the host library uses for its own results.
inline constexpr uint8_t kStatusOk = 0x00;
inline constexpr uint8_t kStatusWrongPin = 0x10;
inline constexpr uint8_t kStatusPinLockedOut = 0x11;
inline constexpr uint8_t kStatusAccessDenied = 0x12;
inline constexpr uint8_t kStatusBlockLocked = 0x13;
inline constexpr uint8_t kStatusOutOfRange = 0x14;
inline constexpr uint8_t kStatusBadBlock = 0x15;
inline constexpr uint8_t kStatusBadParameter = 0x16;
inline constexpr uint8_t kStatusWrongTokenId = 0x17;
inline constexpr uint8_t kStatusProtocolError = 0x18;
inline constexpr uint8_t kStatusUnknownCommand = 0x19;

inline constexpr uint32_t kMaxMemory = kVokMaxMemoryBytes;
inline constexpr unsigned kBlockCount = 4;
inline constexpr unsigned kPinFieldSize = sizeof(TDRVREQUEST_MEK::pin);
inline constexpr unsigned kMaxPinLength = kVokMaxPinLength;
inline constexpr unsigned kMaxTransactions = 32;
inline constexpr unsigned kPinKindUser = 0;
inline constexpr unsigned kPinKindAdmin = 1;

inline constexpr char kStateMagic[8] = {'V', 'O', 'K', 'S', 'T', 'A', 'T', '\0'};
inline constexpr uint32_t kStateFormatVersion = 1;

// Security parameters of a new or initialised token.
inline constexpr uint8_t kDefaultSecParameters[4] = {0, 4, 3, 30};
// Parameter 1, bit 0: a PIN lock-out lasts until the PIN's owner is initialised.
inline constexpr uint8_t kSecFlagPermanentLockout = 0x01;

// Bits of a block's attribute word.
inline constexpr uint16_t kAttrPermissionsMask = 0x0003;
inline constexpr uint16_t kAttrLocked = 0x0004;
inline constexpr uint16_t kAttrPinUse = 0x0008;
inline constexpr unsigned kAttrPinSetShift = 4;  // bits 4-5
inline constexpr uint16_t kAttrUserPinSet = 0x0100;
inline constexpr uint16_t kAttrAdminPinSet = 0x0200;
inline constexpr uint16_t kAttrUserPinLockedOut = 0x0400;
inline constexpr uint16_t kAttrAdminPinLockedOut = 0x0800;

// Setup of a control transfer as the token sees it.
inline constexpr uint8_t kRequestTypeOut = vokwire::kRequestTypeToToken;
inline constexpr uint8_t kRequestTypeIn = vokwire::kRequestTypeFromToken;
inline constexpr uint8_t kPacketSize = vokwire::kPacketSize;
inline constexpr uint8_t kLongReplySize = vokwire::kLongReplySize;
inline constexpr uint8_t kResetPacketMarker = vokwire::kResetMarker;

// How the token identifies itself, fixed at creation.
struct TokenIdentity {
    uint8_t tokenId[8];
    uint8_t flagA;  // 0 or 1
    uint8_t flagB;  // 0 or 1
    uint8_t versionNibbles;
    uint8_t memoryModel;  // 0, 1: 16-byte units; 2 and above: 256-byte units
    uint8_t memoryUnits;
    uint8_t protocolLevel;  // 21 and below: the main PIN lives in memory
    uint8_t infoByte;
    uint8_t reserved;
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
    uint16_t reserved2;
};

// A PIN and its wrong-attempt counter.
struct PinSlot {
    uint8_t length;    // 0: no PIN set
    uint8_t failures;  // wrong attempts since the last right one
    uint8_t reserved[6];
    int64_t lockedUntil;           // wall-clock seconds; 0: not locked out
    uint8_t value[kPinFieldSize];  // the PIN, zero-padded
};

struct BlockState {
    uint16_t vendorId;
    uint8_t permissions;       // RW_PERMISSIONS: bit 0 read, bit 1 write
    uint8_t locked;            // ACCESS: 1 locked
    uint8_t pinUse;            // PIN_USE: 1 block memory commands need the user PIN
    uint8_t pinSetPermission;  // PIN_SET_PERMISSIONS: 0 user, 1 administrator, 2 never
    uint8_t reserved[2];
    PinSlot pins[2];  // [kPinKindUser], [kPinKindAdmin]
};

// Faults injected into the token's transfers (see voksim::Faults).
struct FaultSettings {
    uint32_t failTransfer;
    int32_t failErrno;
    uint8_t failAll;
    uint8_t realTimeouts;
    uint8_t statusValue;
    uint8_t reserved;
    uint32_t shortTransfer;
    uint32_t wrongTagTransfer;
    int32_t statusPhase;  // -1: none
    int32_t fixedTag;     // -1: none
    uint32_t latencyMicros;
    uint32_t statusTransfer;  // 0: none
};

// Where an open transaction stands: which packet or reply is due next.
enum TransactionStage : uint8_t {
    kStageFree = 0,  // slot unused
    kStageReply0,
    kStagePin,  // phase-1 packets due
    kStageReply1,
    kStageTokenId,  // phase-2 packets due
    kStageReply2,
    kStageHeader,    // the phase-3 header is due
    kStageReadLoop,  // read-loop replies due
    kStageWrite,     // phase-4 packets due
    kStageReply4,
    kStageParameter,  // the phase-5 packet is due
    kStageReply5,
    kStageNewPin,  // phase-6 packets due
    kStageReply6,
    kStageError,  // a protocol error was seen; the next reply reports it
};

// One open transaction. Like a token on a bus, the model runs one transaction
// at a time, whoever sends the packets: a phase-0 packet or a port reset from
// any opener ends the one that is open. With `separateTransactions` set it
// keeps one per opener (a descriptor of one process) instead, so that
// transactions of different openers do not disturb each other.
struct Transaction {
    uint64_t opener;
    uint64_t lastUse;
    uint8_t stage;  // TransactionStage
    uint8_t command;
    uint8_t blockByte;  // byte 2 of the phase-0 packet: block (bits 0-6), PIN kind (bit 7)
    uint8_t tag;
    uint8_t packetIndex;
    uint8_t status;  // outcome of the checks made at the phase-3 header
    uint8_t newPinLength;
    uint8_t reserved;
    uint16_t wordOffset;
    uint16_t wordCount;
    uint32_t wordsDone;
    uint8_t pin[kPinFieldSize];
    uint8_t tokenId[8];
    uint8_t newPin[kPinFieldSize];
    uint8_t parameters[4];
    uint8_t reserved2[4];
};

struct TokenState {
    char magic[8];
    uint32_t formatVersion;
    uint32_t stateSize;  // sizeof(TokenState)
    TokenIdentity identity;
    uint8_t plugged;               // 0 while unplugged
    uint8_t logging;               // 1: transfers are logged
    uint8_t separateTransactions;  // 1: one transaction per opener, not one per token
    uint8_t reserved;
    uint32_t generation;  // plug generation; changes at every unplug
    uint8_t secParameters[4];
    uint32_t tagCounter;
    PinSlot memoryPin;  // wrong-attempt counter of the main PIN kept in memory
    BlockState blocks[kBlockCount];
    FaultSettings faults;
    uint64_t faultTransferCount;  // control transfers since the faults were set
    uint64_t transferCount;       // control transfers since creation
    uint64_t resetCount;          // USBDEVFS_RESET calls since creation
    uint64_t useClock;            // orders the transactions by last use
    Transaction transactions[kMaxTransactions];
    uint8_t memory[kMaxMemory];
};

// The memory geometry that follows from the identity.
struct Geometry {
    uint32_t memorySize;
    uint32_t pinAddress;         // may lie beyond memorySize (small 16-byte-unit memories)
    uint32_t pinControlAddress;  // pinAddress + 32
    uint32_t blockSize;          // bytes of each of blocks 1 to 4
};

struct ControlSetup {
    uint8_t bRequestType;
    uint8_t bRequest;
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;
};

Geometry tokenGeometry(const TokenIdentity& identity);
uint32_t blockStart(const Geometry& geometry, unsigned block);  // block 1 to 4

// Fills a fresh state: header, identity, defaults, plugged, logging on.
void initTokenState(TokenState& state, const TokenIdentity& identity);
// Whether a mapped record of `size` bytes is a usable state of this format.
bool isValidTokenState(const TokenState& state, size_t size);
// What initialise-token does: memory, blocks, PINs, counters and security
// parameters to their defaults; identity and the transport's fields kept.
void resetTokenContents(TokenState& state);
// What initialise-block does to block 1 to 4.
void resetBlock(TokenState& state, unsigned block);

uint16_t blockAttributes(const TokenState& state, unsigned block, int64_t nowSeconds);

// The main PIN: above protocol level 21 block 1's user PIN; at 21 and below
// the PIN area and control word in memory.
bool mainPinSet(const TokenState& state);
bool mainPinUse(const TokenState& state);

// One control transfer on the default pipe, made by `opener` (which matters
// only with separateTransactions set). For a transfer
// from the token `data` receives at most wLength bytes; for one to the token
// it holds wLength bytes. Returns the number of bytes transferred, or a
// negated errno (-EPIPE: the token stalls the request).
int32_t modelControlTransfer(TokenState& state, uint64_t opener, const ControlSetup& setup,
                             uint8_t* data, int64_t nowSeconds);
// A port reset by `opener`: the open transaction ends (with
// separateTransactions set, only the opener's); nothing else changes.
void modelPortReset(TokenState& state, uint64_t opener);
// Ends every open transaction (the token lost power).
void modelAbortAll(TokenState& state);

}  // namespace voksim
