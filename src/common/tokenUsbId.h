// The token's USB vendor and product IDs. They are written here and nowhere
// else: the library's accepted-device table, the vok tool, the virtual token
// and the udev rule (generated from this file when CMake configures) take
// them from here.
#pragma once

#include <cstdint>

inline constexpr uint16_t kVokVendorId = 0xF055;
inline constexpr uint16_t kVokProductId = 0x0401;
