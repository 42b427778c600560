#include "usbip/usbipRequests.h"

#include <cerrno>
#include <cstring>

namespace voksim::usbip {
namespace {

constexpr uint8_t kRecipientMask = 0x1F;
constexpr uint8_t kRecipientDevice = 0;
constexpr uint8_t kRecipientInterface = 1;
constexpr uint8_t kToHost = 0x80;

// bMaxPacketSize0 64: the device is attached at high speed, where the
// default pipe's packets are 64 bytes.
void deviceDescriptor(const DeviceIds& ids, uint8_t* out) {
    const uint8_t bytes[18] = {18,
                               kDescriptorDevice,
                               0x00,
                               0x02,
                               0xFF,
                               0,
                               0,
                               64,
                               static_cast<uint8_t>(ids.idVendor),
                               static_cast<uint8_t>(ids.idVendor >> 8),
                               static_cast<uint8_t>(ids.idProduct),
                               static_cast<uint8_t>(ids.idProduct >> 8),
                               static_cast<uint8_t>(ids.bcdDevice),
                               static_cast<uint8_t>(ids.bcdDevice >> 8),
                               1,
                               2,
                               0,
                               1};
    std::memcpy(out, bytes, sizeof bytes);
}

// One configuration with one vendor-specific interface and no endpoint
// besides the default pipe: the token speaks only vendor control transfers.
constexpr uint8_t kConfiguration[18] = {
    9, kDescriptorConfiguration, 18, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 0xFF, 0, 0, 0};

// String descriptors: 0 the language (US English), 1 maker, 2 product.
uint32_t stringDescriptor(unsigned index, uint8_t* out) {
    if (index == 0) {
        const uint8_t languages[4] = {4, kDescriptorString, 0x09, 0x04};
        std::memcpy(out, languages, sizeof languages);
        return sizeof languages;
    }
    const char* text = index == 1 ? "vok" : index == 2 ? "virtual token" : nullptr;
    if (!text) return 0;
    const size_t characters = std::strlen(text);
    out[0] = static_cast<uint8_t>(2 + 2 * characters);
    out[1] = kDescriptorString;
    for (size_t i = 0; i < characters; ++i) {
        out[2 + 2 * i] = static_cast<uint8_t>(text[i]);
        out[3 + 2 * i] = 0;
    }
    return out[0];
}

StandardReply stalled() { return StandardReply{-EPIPE, 0, false}; }

StandardReply reply(const uint8_t* bytes, uint32_t available, const ControlSetup& setup,
                    uint8_t* buffer) {
    const uint32_t length = available < setup.wLength ? available : setup.wLength;
    std::memcpy(buffer, bytes, length);
    return StandardReply{0, length, false};
}

StandardReply getDescriptor(const DeviceIds& ids, EnumerationState& state,
                            const ControlSetup& setup, uint8_t* buffer) {
    uint8_t bytes[64];
    const unsigned type = setup.wValue >> 8;
    const unsigned index = setup.wValue & 0xFF;
    if (type == kDescriptorDevice && index == 0) {
        deviceDescriptor(ids, bytes);
        StandardReply answer = reply(bytes, 18, setup, buffer);
        // The kernel reads the device descriptor again only when it resets
        // the port (USBDEVFS_RESET): USB/IP carries no reset of its own.
        answer.reEnumerated = state.configured;
        state.configured = false;
        return answer;
    }
    if (type == kDescriptorConfiguration && index == 0) {
        return reply(kConfiguration, sizeof kConfiguration, setup, buffer);
    }
    if (type == kDescriptorString) {
        const uint32_t length = stringDescriptor(index, bytes);
        return length ? reply(bytes, length, setup, buffer) : stalled();
    }
    return stalled();
}

}  // namespace

StandardReply answerStandardRequest(const DeviceIds& ids, EnumerationState& state,
                                    const ControlSetup& setup, uint8_t* buffer) {
    const bool toHost = (setup.bRequestType & kToHost) != 0;
    const unsigned recipient = setup.bRequestType & kRecipientMask;
    switch (setup.bRequest) {
        case kGetDescriptor:
            if (!toHost || recipient != kRecipientDevice) return stalled();
            return getDescriptor(ids, state, setup, buffer);
        case kGetStatus: {
            if (!toHost) return stalled();
            const uint8_t status[2] = {0, 0};
            return reply(status, sizeof status, setup, buffer);
        }
        case kGetConfiguration:
            if (!toHost || recipient != kRecipientDevice) return stalled();
            return reply(&state.configuration, 1, setup, buffer);
        case kSetConfiguration:
            if (toHost || recipient != kRecipientDevice || (setup.wValue & 0xFF) > 1)
                return stalled();
            state.configuration = static_cast<uint8_t>(setup.wValue);
            state.configured = true;
            return StandardReply{};
        case kGetInterface: {
            if (!toHost || recipient != kRecipientInterface || setup.wIndex != 0) return stalled();
            const uint8_t alternate = 0;
            return reply(&alternate, 1, setup, buffer);
        }
        case kSetInterface:
            if (toHost || recipient != kRecipientInterface || setup.wIndex != 0 ||
                setup.wValue != 0)
                return stalled();
            return StandardReply{};
        case kClearFeature:
        case kSetFeature:
            return toHost ? stalled() : StandardReply{};
        default:
            return stalled();
    }
}

}  // namespace voksim::usbip
