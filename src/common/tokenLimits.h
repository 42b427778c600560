// Limits of the token that the library, the vok tool and the virtual token
// share.
#pragma once

#include <cstdint>

#include "vok/vok.h"

// The longest PIN: the request record's PIN field, whose last byte stays zero.
inline constexpr uint32_t kVokMaxPinLength = sizeof(TDRVREQUEST_MEK::pin) - 1;

// The most memory a token can have: the info record counts at most 255 units
// of 256 bytes.
inline constexpr uint32_t kVokMaxMemoryBytes = 255u * 256u;

// The ranges of the four security parameters, inclusive.
struct VokParameterRange {
    uint8_t lowest;
    uint8_t highest;
};
inline constexpr VokParameterRange kVokSecurityParameterRanges[4] = {
    {0, 15}, {1, 31}, {1, 10}, {15, 60}};

inline constexpr bool vokSecurityParametersInRange(const uint8_t (&parameters)[4]) {
    for (int i = 0; i < 4; ++i) {
        if (parameters[i] < kVokSecurityParameterRanges[i].lowest ||
            parameters[i] > kVokSecurityParameterRanges[i].highest) {
            return false;
        }
    }
    return true;
}
