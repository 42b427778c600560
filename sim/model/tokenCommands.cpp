// What each command means to the token: the PIN it needs, its checks and its
// effect on the token's record.
#include <cstring>

#include "model/modelInternal.h"

namespace voksim {

namespace {

constexpr uint8_t kCmdInfo = VOK_CMD_GET_INFO;
constexpr uint8_t kCmdRead = VOK_CMD_READ;
constexpr uint8_t kCmdWrite = VOK_CMD_WRITE;
constexpr uint8_t kCmdInitialize = VOK_CMD_INITIALIZE;
constexpr uint8_t kCmdReadBlock = VOK_CMD_READ_EX;
constexpr uint8_t kCmdWriteBlock = VOK_CMD_WRITE_EX;
constexpr uint8_t kCmdSetPin = VOK_CMD_SET_PIN;
constexpr uint8_t kCmdSetVendorId = VOK_CMD_SET_VENDOR_ID;
constexpr uint8_t kCmdGetVendorId = VOK_CMD_GET_VENDOR_ID;
constexpr uint8_t kCmdSetAttributes = VOK_CMD_SET_BLOCK_ATTR;
constexpr uint8_t kCmdGetAttributes = VOK_CMD_GET_BLOCK_ATTR;
constexpr uint8_t kCmdLockBlock = VOK_CMD_LOCK_BLOCK;
constexpr uint8_t kCmdSetSecParameters = VOK_CMD_SET_SEC_PARAMETERS;
constexpr uint8_t kCmdGetSecParameters = VOK_CMD_GET_SEC_PARAMETERS;
constexpr uint8_t kCmdSetPinUse = VOK_CMD_SET_BLOCK_PIN_USE;
constexpr uint8_t kCmdInitializeBlock = VOK_CMD_INITIALIZE_BLOCK;

void putWord(uint8_t* bytes, uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
}

BlockState& blockOf(TokenState& state, const Transaction& tx) {
    return state.blocks[transactionBlock(tx) - 1];
}

// Block administration: the administrator PIN if one is set, else the user
// PIN while the block's PIN use is on, else nothing.
PinCheck blockAdministration(BlockState& block) {
    if (block.pins[kPinKindAdmin].length) return PinCheck{&block.pins[kPinKindAdmin], nullptr};
    if (block.pins[kPinKindUser].length && block.pinUse) {
        return PinCheck{&block.pins[kPinKindUser], nullptr};
    }
    return PinCheck{};
}

// Changing a block's user PIN, by its PIN-set permission. Permission 2
// ("never") is refused at the end of phase 5 once a user PIN exists, whatever
// PIN is presented; until then it is as 0.
PinCheck userPinChange(BlockState& block) {
    if (block.pinSetPermission == 2 && block.pins[kPinKindUser].length) return PinCheck{};
    if (block.pinSetPermission == 1 && block.pins[kPinKindAdmin].length) {
        return PinCheck{&block.pins[kPinKindAdmin], nullptr};
    }
    if (block.pins[kPinKindUser].length) return PinCheck{&block.pins[kPinKindUser], nullptr};
    return blockAdministration(block);
}

bool pinMatches(const PinCheck& check, const uint8_t* presented) {
    const uint8_t* expected = check.value ? check.value : check.counters->value;
    // Constant-time on purpose: a token does not reveal how much of a PIN matched.
    uint8_t difference = 0;
    for (unsigned i = 0; i < kPinFieldSize; ++i) difference |= expected[i] ^ presented[i];
    return difference == 0;
}

int64_t lockoutEnd(const TokenState& state, int64_t nowSeconds) {
    if (state.secParameters[0] & kSecFlagPermanentLockout) return INT64_MAX;
    return nowSeconds + state.secParameters[3];
}

// True when a write of the transaction touches a locked block.
bool writeTouchesLockedBlock(const TokenState& state, const Transaction& tx) {
    if (tx.command == kCmdWriteBlock) return state.blocks[transactionBlock(tx) - 1].locked != 0;
    const Geometry geometry = tokenGeometry(state.identity);
    const uint32_t first = 2u * tx.wordOffset;
    const uint32_t end = first + 2u * tx.wordCount;
    for (unsigned block = 1; block <= kBlockCount; ++block) {
        if (!state.blocks[block - 1].locked || geometry.blockSize == 0) continue;
        const uint32_t start = blockStart(geometry, block);
        if (first < start + geometry.blockSize && start < end) return true;
    }
    return false;
}

uint8_t installPin(TokenState& state, const Transaction& tx) {
    PinSlot& slot = blockOf(state, tx).pins[transactionPinKind(tx)];
    slot = PinSlot{};
    slot.length = tx.newPinLength;
    std::memcpy(slot.value, tx.newPin, tx.newPinLength);
    return kStatusOk;
}

uint8_t checkSetPin(TokenState& state, const Transaction& tx) {
    const BlockState& block = blockOf(state, tx);
    if (block.locked) return kStatusBlockLocked;
    if (transactionPinKind(tx) == kPinKindUser && block.pinSetPermission == 2 &&
        block.pins[kPinKindUser].length) {
        return kStatusAccessDenied;
    }
    const unsigned minimum = state.secParameters[1] ? state.secParameters[1] : 1;
    if (tx.newPinLength < minimum || tx.newPinLength > kMaxPinLength) return kStatusBadParameter;
    return kStatusOk;
}

uint8_t setSecParameters(TokenState& state, const uint8_t* p) {
    const uint8_t parameters[4] = {p[0], p[1], p[2], p[3]};
    if (!vokSecurityParametersInRange(parameters)) return kStatusBadParameter;
    std::memcpy(state.secParameters, p, 4);
    return kStatusOk;
}

uint8_t setPinUse(BlockState& block, const uint8_t* p) {
    if (block.locked) return kStatusBlockLocked;
    if (p[0] > 1 || p[1] > 2) return kStatusBadParameter;
    // Switching PIN use on without a user PIN would protect nothing while
    // looking as if it did.
    if (p[0] == 1 && !block.pins[kPinKindUser].length) return kStatusAccessDenied;
    block.pinUse = p[0];
    block.pinSetPermission = p[1];
    return kStatusOk;
}

}  // namespace

bool commandTakesBlock(uint8_t command) {
    return command >= kCmdReadBlock && command <= kCmdInitializeBlock &&
           command != kCmdSetSecParameters && command != kCmdGetSecParameters;
}

bool commandHasLongReply(uint8_t command) {
    return command == kCmdInfo || command == kCmdGetVendorId || command == kCmdGetAttributes ||
           command == kCmdGetSecParameters;
}

bool knownCommand(uint8_t command) { return command >= kCmdInfo && command <= kCmdInitializeBlock; }

unsigned transactionBlock(const Transaction& tx) { return tx.blockByte & 0x7Fu; }
unsigned transactionPinKind(const Transaction& tx) { return tx.blockByte >> 7; }

PinCheck requiredPin(TokenState& state, const Transaction& tx, uint8_t* scratch) {
    switch (tx.command) {
        case kCmdRead:
        case kCmdWrite:
            return mainPinUse(state) ? mainPinCheck(state, scratch) : PinCheck{};
        case kCmdInitialize:
        case kCmdSetSecParameters:
            return mainPinCheck(state, scratch);
        case kCmdReadBlock:
        case kCmdWriteBlock: {
            BlockState& block = blockOf(state, tx);
            if (block.pinUse && block.pins[kPinKindUser].length) {
                return PinCheck{&block.pins[kPinKindUser], nullptr};
            }
            return PinCheck{};
        }
        case kCmdSetPin:
            if (transactionPinKind(tx) == kPinKindUser) return userPinChange(blockOf(state, tx));
            return blockAdministration(blockOf(state, tx));
        case kCmdSetVendorId:
        case kCmdSetAttributes:
        case kCmdLockBlock:
        case kCmdSetPinUse:
            return blockAdministration(blockOf(state, tx));
        case kCmdInitializeBlock: {
            // With an administrator PIN only PIN kind 1 may initialise the
            // block; that refusal comes at the end of phase 2.
            BlockState& block = blockOf(state, tx);
            if (block.pins[kPinKindAdmin].length) {
                if (transactionPinKind(tx) != kPinKindAdmin) return PinCheck{};
                return PinCheck{&block.pins[kPinKindAdmin], nullptr};
            }
            if (block.pins[kPinKindUser].length) {
                return PinCheck{&block.pins[kPinKindUser], nullptr};
            }
            return PinCheck{};
        }
        default:
            return PinCheck{};
    }
}

uint8_t checkPin(TokenState& state, const PinCheck& check, const uint8_t* presented,
                 int64_t nowSeconds, uint8_t& attemptsLeft) {
    attemptsLeft = 0xFF;
    if (!check.counters) return kStatusOk;
    PinSlot& counters = *check.counters;
    const uint8_t limit = state.secParameters[2] ? state.secParameters[2] : 1;
    if (pinLockedOut(counters, nowSeconds)) {
        attemptsLeft = 0;
        return kStatusPinLockedOut;
    }
    if (counters.lockedUntil != 0) {  // a lock-out that has run out
        counters.lockedUntil = 0;
        counters.failures = 0;
    }
    if (pinMatches(check, presented)) {
        counters.failures = 0;
        attemptsLeft = limit;
        return kStatusOk;
    }
    ++counters.failures;
    if (counters.failures >= limit) {
        counters.failures = 0;
        counters.lockedUntil = lockoutEnd(state, nowSeconds);
        attemptsLeft = 0;
        return kStatusPinLockedOut;
    }
    attemptsLeft = static_cast<uint8_t>(limit - counters.failures);
    return kStatusWrongPin;
}

uint8_t executeAtPhase2(TokenState& state, const Transaction& tx) {
    if (tx.command == kCmdInitialize) {
        resetTokenContents(state);
        return kStatusOk;
    }
    if (tx.command == kCmdInitializeBlock) {
        const BlockState& block = blockOf(state, tx);
        if (block.pins[kPinKindAdmin].length && transactionPinKind(tx) != kPinKindAdmin) {
            return kStatusAccessDenied;
        }
        resetBlock(state, transactionBlock(tx));
        return kStatusOk;
    }
    return kStatusOk;
}

uint32_t transferBase(const TokenState& state, const Transaction& tx) {
    if (tx.command == kCmdRead || tx.command == kCmdWrite) return 0;
    return blockStart(tokenGeometry(state.identity), transactionBlock(tx));
}

uint32_t transferLimit(const TokenState& state, const Transaction& tx) {
    const Geometry geometry = tokenGeometry(state.identity);
    return (tx.command == kCmdRead || tx.command == kCmdWrite) ? geometry.memorySize
                                                               : geometry.blockSize;
}

uint8_t checkMemoryTransfer(const TokenState& state, const Transaction& tx) {
    const uint32_t end = 2u * (static_cast<uint32_t>(tx.wordOffset) + tx.wordCount);
    if (end > transferLimit(state, tx)) return kStatusOutOfRange;
    const bool write = tx.command == kCmdWrite || tx.command == kCmdWriteBlock;
    if (tx.command == kCmdReadBlock || tx.command == kCmdWriteBlock) {
        const uint8_t needed = write ? 2 : 1;
        if (!(state.blocks[transactionBlock(tx) - 1].permissions & needed)) {
            return kStatusAccessDenied;
        }
    }
    if (write && writeTouchesLockedBlock(state, tx)) return kStatusBlockLocked;
    return kStatusOk;
}

void storeWords(TokenState& state, const Transaction& tx, uint32_t firstWord,
                const uint8_t* bytes) {
    const uint32_t base = transferBase(state, tx);
    for (uint32_t k = 0; k < 2; ++k) {
        const uint32_t index = firstWord + k;
        if (index >= tx.wordCount) return;  // the filler word of an odd count
        const uint32_t address = base + 2u * (tx.wordOffset + index);
        if (address + 2 > kMaxMemory) return;  // unreachable after the range check
        std::memcpy(state.memory + address, bytes + size_t{2} * k, 2);
    }
}

void loadWords(const TokenState& state, const Transaction& tx, uint32_t firstWord, uint8_t* bytes) {
    const uint32_t base = transferBase(state, tx);
    const uint32_t limit = transferLimit(state, tx);
    for (uint32_t k = 0; k < 2; ++k) {
        const uint32_t relative = 2u * (tx.wordOffset + firstWord + k);
        if (relative + 2 <= limit && base + relative + 2 <= kMaxMemory) {
            std::memcpy(bytes + size_t{2} * k, state.memory + base + relative, 2);
        } else {
            bytes[size_t{2} * k] = 0;
            bytes[size_t{2} * k + 1] = 0;
        }
    }
}

uint8_t executeAtPhase5(TokenState& state, const Transaction& tx, uint8_t* reply,
                        int64_t nowSeconds) {
    const uint8_t* p = tx.parameters;
    switch (tx.command) {
        case kCmdSetPin:
            return checkSetPin(state, tx);
        case kCmdSetVendorId: {
            BlockState& block = blockOf(state, tx);
            if (block.locked) return kStatusBlockLocked;
            const uint16_t vendorId = static_cast<uint16_t>(p[0] | (p[1] << 8));
            if (vendorId == 0xFFFF) return kStatusBadParameter;
            block.vendorId = vendorId;
            return kStatusOk;
        }
        case kCmdSetAttributes: {
            BlockState& block = blockOf(state, tx);
            if (block.locked) return kStatusBlockLocked;
            if (p[0] > 3) return kStatusBadParameter;
            block.permissions = p[0];
            putWord(reply + 3, blockAttributes(state, transactionBlock(tx), nowSeconds));
            putWord(reply + 5, static_cast<uint16_t>(tokenGeometry(state.identity).blockSize / 2));
            return kStatusOk;
        }
        case kCmdLockBlock:
            if (p[0] > 1) return kStatusBadParameter;
            blockOf(state, tx).locked = p[0];
            return kStatusOk;
        case kCmdSetSecParameters:
            return setSecParameters(state, p);
        case kCmdSetPinUse:
            return setPinUse(blockOf(state, tx), p);
        default:
            return kStatusProtocolError;
    }
}

uint8_t executeAtPhase6(TokenState& state, const Transaction& tx) { return installPin(state, tx); }

void fillLongReply(const TokenState& state, const Transaction& tx, uint8_t* tail,
                   int64_t nowSeconds) {
    std::memset(tail, 0, 8);
    switch (tx.command) {
        case kCmdInfo:
            std::memcpy(tail, state.identity.tokenId, 8);
            break;
        case kCmdGetVendorId:
            putWord(tail, state.blocks[transactionBlock(tx) - 1].vendorId);
            break;
        case kCmdGetAttributes: {
            const unsigned block = transactionBlock(tx);
            const Geometry geometry = tokenGeometry(state.identity);
            putWord(tail, blockAttributes(state, block, nowSeconds));
            putWord(tail + 2, state.blocks[block - 1].vendorId);
            putWord(tail + 4, static_cast<uint16_t>(blockStart(geometry, block) / 2));
            putWord(tail + 6, static_cast<uint16_t>(geometry.blockSize / 2));
            break;
        }
        case kCmdGetSecParameters:
            std::memcpy(tail, state.secParameters, 4);
            break;
        default:
            break;
    }
}

}  // namespace voksim
