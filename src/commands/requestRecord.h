// The request record as every command builder fills it: zeroed, its PIN,
// block and token identifier put in place, and wiped once its transaction
// has run.
#pragma once

#include <string.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/tokenLimits.h"
#include "discovery/deviceList.h"
#include "vok/vok.h"

// Clears memory that held a PIN or token data in a way the compiler keeps,
// even though the storage is about to go out of scope.
inline void wipe_bytes(void* bytes, size_t length) { explicit_bzero(bytes, length); }

inline void wipe_pins(TDRVREQUEST_MEK* request) { wipe_bytes(request->pin, sizeof request->pin); }

inline void zero_request(TDRVREQUEST_MEK* request) { std::memset(request, 0, sizeof *request); }

inline bool pin_optional_ok(const void* pin, uint32_t pinLength) {
    return pin == nullptr || (pinLength >= 1 && pinLength <= kVokMaxPinLength);
}

inline bool pin_required_ok(const void* pin, uint32_t pinLength) {
    return pin != nullptr && pinLength >= 1 && pinLength <= kVokMaxPinLength;
}

// Callers have bounded pinLength to the pin field already.
inline void put_pin(TDRVREQUEST_MEK* request, const void* pin, uint32_t pinLength) {
    if (pin != nullptr) std::memcpy(request->pin, pin, pinLength);
}

inline void put_block(TDRVREQUEST_MEK* request, BLOCK_ID block) {
    request->blockId = static_cast<uint32_t>(block) & 0x7Fu;
}

inline void put_token_id(TDRVREQUEST_MEK* request, const VokDevice* device) {
    std::memcpy(request->tokenId, device->info.tokenId, sizeof request->tokenId);
}
