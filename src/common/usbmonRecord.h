// The pcap file of USB traffic as Linux's usbmon hands it out: a 24-byte
// file header, then per event a 16-byte record header and the 64-byte usbmon
// header (link type 220) or its older 48-byte form (link type 189), then the
// data captured. The library's capture writes it and the vok tool's decoder
// reads it; both take the layout from here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vokpcap {

inline constexpr uint32_t kMagic = 0xA1B2C3D4;  // microsecond timestamps, host order
inline constexpr uint32_t kMagicNanos = 0xA1B23C4D;
inline constexpr uint16_t kVersionMajor = 2;
inline constexpr uint16_t kVersionMinor = 4;
inline constexpr uint32_t kLinkTypeUsbLinux = 189;         // 48-byte header
inline constexpr uint32_t kLinkTypeUsbLinuxMmapped = 220;  // 64-byte header
inline constexpr uint32_t kSnapLength = 65535;

struct FileHeader {
    uint32_t magic;
    uint16_t versionMajor;
    uint16_t versionMinor;
    int32_t thisZone;
    uint32_t sigFigs;
    uint32_t snapLength;
    uint32_t linkType;
};
static_assert(sizeof(FileHeader) == 24);

struct RecordHeader {
    uint32_t seconds;
    uint32_t micros;
    uint32_t capturedLength;
    uint32_t originalLength;
};
static_assert(sizeof(RecordHeader) == 16);

// The usbmon header, in the byte order of the host that captured.
inline constexpr uint8_t kEventSubmit = 'S';
inline constexpr uint8_t kEventComplete = 'C';
inline constexpr uint8_t kEventError = 'E';
inline constexpr uint8_t kTransferControl = 2;
inline constexpr uint8_t kEndpointIn = 0x80;
inline constexpr uint8_t kSetupPresent = 0;
inline constexpr uint8_t kSetupAbsent = '-';
inline constexpr uint8_t kDataPresent = 0;
inline constexpr uint8_t kDataIncoming = '<';  // submission of an IN transfer
inline constexpr uint8_t kDataOutgoing = '>';  // completion of an OUT transfer
inline constexpr uint32_t kUrbDirectionIn = 0x200;
inline constexpr int32_t kStatusInProgress = -115;  // -EINPROGRESS

struct UsbmonHeader {
    uint64_t id;
    uint8_t type;
    uint8_t transferType;
    uint8_t endpoint;
    uint8_t device;
    uint16_t bus;
    uint8_t flagSetup;
    uint8_t flagData;
    int64_t seconds;
    int32_t micros;
    int32_t status;
    uint32_t length;
    uint32_t capturedLength;
    uint8_t setup[8];
    // Link type 220 only.
    int32_t interval;
    int32_t startFrame;
    uint32_t transferFlags;
    uint32_t descriptorCount;
};
static_assert(sizeof(UsbmonHeader) == 64);
inline constexpr size_t kUsbmonHeaderSize = 64;
inline constexpr size_t kUsbmonShortHeaderSize = 48;

// The standard request that reads the device descriptor, and the
// descriptor's layout as far as capture and decoder need it.
inline constexpr uint8_t kGetDescriptorSetup[8] = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 18, 0};
inline constexpr size_t kDeviceDescriptorSize = 18;
inline constexpr size_t kDescriptorVendor = 8;
inline constexpr size_t kDescriptorProduct = 10;

}  // namespace vokpcap
