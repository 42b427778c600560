// The standard requests on endpoint 0 that the kernel makes to enumerate and
// configure a device: descriptors, configuration, status. Plain functions, so
// the USB/IP device side and its fuzz target share them.
#pragma once

#include <cstdint>

#include "voksim/tokenModel.h"

namespace voksim::usbip {

// Standard request codes and descriptor types.
inline constexpr uint8_t kGetStatus = 0;
inline constexpr uint8_t kClearFeature = 1;
inline constexpr uint8_t kSetFeature = 3;
inline constexpr uint8_t kGetDescriptor = 6;
inline constexpr uint8_t kGetConfiguration = 8;
inline constexpr uint8_t kSetConfiguration = 9;
inline constexpr uint8_t kGetInterface = 10;
inline constexpr uint8_t kSetInterface = 11;
inline constexpr uint8_t kDescriptorDevice = 1;
inline constexpr uint8_t kDescriptorConfiguration = 2;
inline constexpr uint8_t kDescriptorString = 3;
inline constexpr uint8_t kDescriptorInterface = 4;

struct DeviceIds {
    uint16_t idVendor = 0;
    uint16_t idProduct = 0;
    uint16_t bcdDevice = 0;
};

// What enumeration has done so far on one attached device.
struct EnumerationState {
    uint8_t configuration = 0;  // as set by SET_CONFIGURATION
    bool configured = false;    // a SET_CONFIGURATION since the last (re-)enumeration
};

struct StandardReply {
    int32_t status = 0;         // 0, or a negated errno (-EPIPE: stalled)
    uint32_t length = 0;        // bytes written to the buffer for a request to the host
    bool reEnumerated = false;  // the device descriptor asked for again: a port reset
};

inline bool isStandardRequest(uint8_t bRequestType) { return (bRequestType & 0x60) == 0; }

// Answers a standard request. `buffer` receives at most setup.wLength bytes
// (and at most 4096).
StandardReply answerStandardRequest(const DeviceIds& ids, EnumerationState& state,
                                    const ControlSetup& setup, uint8_t* buffer);

}  // namespace voksim::usbip
