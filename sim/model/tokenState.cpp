// The token's record: geometry, defaults, initialisation and the derived
// views (attribute word, main PIN) that the commands and tools share.
#include <cerrno>
#include <cstring>

#include "model/modelInternal.h"

namespace voksim {

Geometry tokenGeometry(const TokenIdentity& identity) {
    Geometry geometry{};
    const uint32_t units = identity.memoryUnits;
    const bool bigUnits = identity.memoryModel >= 2;
    geometry.memorySize = bigUnits ? units * 256u : units * 16u;
    const uint32_t pinBase = bigUnits ? units * 256u : 256u;
    geometry.pinAddress = pinBase >= 34 ? pinBase - 34 : 0;
    geometry.pinControlAddress = geometry.pinAddress + kPinFieldSize;
    const uint32_t area =
        geometry.pinAddress < geometry.memorySize ? geometry.pinAddress : geometry.memorySize;
    geometry.blockSize = (area / kBlockCount) & ~1u;
    return geometry;
}

uint32_t blockStart(const Geometry& geometry, unsigned block) {
    return (block - 1) * geometry.blockSize;
}

static void clearPin(PinSlot& slot) { slot = PinSlot{}; }

void resetBlock(TokenState& state, unsigned block) {
    const Geometry geometry = tokenGeometry(state.identity);
    std::memset(state.memory + blockStart(geometry, block), 0, geometry.blockSize);
    BlockState& b = state.blocks[block - 1];
    b = BlockState{};
    b.permissions = 3;
    clearPin(b.pins[kPinKindUser]);
    clearPin(b.pins[kPinKindAdmin]);
}

void resetTokenContents(TokenState& state) {
    std::memset(state.memory, 0, sizeof state.memory);
    for (unsigned block = 1; block <= kBlockCount; ++block) resetBlock(state, block);
    std::memcpy(state.secParameters, kDefaultSecParameters, sizeof state.secParameters);
    clearPin(state.memoryPin);
}

void initTokenState(TokenState& state, const TokenIdentity& identity) {
    std::memset(&state, 0, sizeof state);
    std::memcpy(state.magic, kStateMagic, sizeof state.magic);
    state.formatVersion = kStateFormatVersion;
    state.stateSize = sizeof(TokenState);
    state.identity = identity;
    state.plugged = 1;
    state.logging = 1;
    state.generation = 1;
    state.faults = FaultSettings{};
    state.faults.failErrno = EPIPE;
    state.faults.statusPhase = -1;
    state.faults.fixedTag = -1;
    resetTokenContents(state);
}

bool isValidTokenState(const TokenState& state, size_t size) {
    return size >= sizeof(TokenState) &&
           std::memcmp(state.magic, kStateMagic, sizeof state.magic) == 0 &&
           state.formatVersion == kStateFormatVersion && state.stateSize == sizeof(TokenState);
}

bool pinLockedOut(const PinSlot& slot, int64_t nowSeconds) {
    return slot.lockedUntil != 0 && slot.lockedUntil > nowSeconds;
}

uint16_t blockAttributes(const TokenState& state, unsigned block, int64_t nowSeconds) {
    const BlockState& b = state.blocks[block - 1];
    uint16_t word = b.permissions & kAttrPermissionsMask;
    if (b.locked) word |= kAttrLocked;
    if (b.pinUse) word |= kAttrPinUse;
    word |= static_cast<uint16_t>((b.pinSetPermission & 3u) << kAttrPinSetShift);
    if (b.pins[kPinKindUser].length) word |= kAttrUserPinSet;
    if (b.pins[kPinKindAdmin].length) word |= kAttrAdminPinSet;
    if (pinLockedOut(b.pins[kPinKindUser], nowSeconds)) word |= kAttrUserPinLockedOut;
    if (pinLockedOut(b.pins[kPinKindAdmin], nowSeconds)) word |= kAttrAdminPinLockedOut;
    return word;
}

bool memoryHoldsMainPin(const TokenState& state) { return state.identity.protocolLevel <= 21; }

// The control word of a memory-resident main PIN, or 0 when the PIN area
// does not lie inside memory.
static uint16_t memoryPinControl(const TokenState& state) {
    const Geometry geometry = tokenGeometry(state.identity);
    if (geometry.pinControlAddress + 2 > geometry.memorySize) return 0;
    return static_cast<uint16_t>(state.memory[geometry.pinControlAddress] |
                                 (state.memory[geometry.pinControlAddress + 1] << 8));
}

static unsigned memoryPinLength(const TokenState& state) {
    const unsigned length = memoryPinControl(state) >> 1;
    return length <= kPinFieldSize ? length : 0;
}

bool mainPinSet(const TokenState& state) {
    if (memoryHoldsMainPin(state)) return memoryPinLength(state) != 0;
    return state.blocks[0].pins[kPinKindUser].length != 0;
}

bool mainPinUse(const TokenState& state) {
    if (!mainPinSet(state)) return false;
    if (memoryHoldsMainPin(state)) return (memoryPinControl(state) & 1u) != 0;
    return state.blocks[0].pinUse != 0;
}

PinCheck mainPinCheck(TokenState& state, uint8_t* scratch) {
    if (!mainPinSet(state)) return PinCheck{};
    if (!memoryHoldsMainPin(state)) return PinCheck{&state.blocks[0].pins[kPinKindUser], nullptr};
    const Geometry geometry = tokenGeometry(state.identity);
    std::memset(scratch, 0, kPinFieldSize);
    std::memcpy(scratch, state.memory + geometry.pinAddress, memoryPinLength(state));
    return PinCheck{&state.memoryPin, scratch};
}

}  // namespace voksim
