// The operation phase of USB/IP as a server sees it: the requests that the
// `usbip` client sends on a fresh TCP connection (OP_REQ_DEVLIST, to list the
// exported devices; OP_REQ_IMPORT, to take one) and the replies it expects.
// Every field on the wire is big-endian. After a successful import the same
// connection carries the data phase (usbipProtocol.h).
//
// Plain functions over bytes, so that the server and its fuzz target share
// them; nothing here reads a socket or trusts a length from the network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "usbip/usbipProtocol.h"
#include "usbip/usbipRequests.h"

namespace voksim::usbip {

inline constexpr uint16_t kProtocolVersion = 0x0111;
inline constexpr uint16_t kOpReqDevlist = 0x8005;
inline constexpr uint16_t kOpRepDevlist = 0x0005;
inline constexpr uint16_t kOpReqImport = 0x8003;
inline constexpr uint16_t kOpRepImport = 0x0003;

inline constexpr size_t kOpHeaderSize = 8;  // version, code, status
inline constexpr size_t kBusIdSize = 32;
inline constexpr size_t kPathSize = 256;
inline constexpr size_t kExportedDeviceSize = 312;  // struct usbip_usb_device
inline constexpr size_t kExportedInterfaceSize = 4;

// The status of a reply, as the `usbip` client names them.
inline constexpr uint32_t kStatusOk = 0;
inline constexpr uint32_t kStatusDeviceBusy = 2;   // "Device busy (exported)"
inline constexpr uint32_t kStatusDeviceError = 3;  // "Device in error state"
inline constexpr uint32_t kStatusNoDevice = 4;     // "Device not found"

inline constexpr uint32_t kSpeedHigh = 3;  // USB_SPEED_HIGH, as the devices are attached

struct ExportedInterface {
    uint8_t interfaceClass = 0;
    uint8_t interfaceSubClass = 0;
    uint8_t interfaceProtocol = 0;
};

// One device as OP_REP_DEVLIST and OP_REP_IMPORT describe it.
struct ExportedDevice {
    std::string path;   // at most kPathSize - 1 bytes are sent
    std::string busid;  // "BUS-DEVICE"; at most kBusIdSize - 1 bytes are sent
    uint32_t busnum = 0;
    uint32_t devnum = 0;
    uint32_t speed = kSpeedHigh;
    uint16_t idVendor = 0;
    uint16_t idProduct = 0;
    uint16_t bcdDevice = 0;
    uint8_t deviceClass = 0;
    uint8_t deviceSubClass = 0;
    uint8_t deviceProtocol = 0;
    uint8_t configurationValue = 0;
    uint8_t numConfigurations = 0;
    std::vector<ExportedInterface> interfaces;

    uint32_t devid() const { return (busnum << 16) | (devnum & 0xFFFF); }
};

// The description of a device of a virtual tree, taken from the descriptors
// that the device side answers during enumeration, so that the list and the
// enumeration cannot disagree.
ExportedDevice describeDevice(const std::string& path, uint32_t busnum, uint32_t devnum,
                              const DeviceIds& ids);

struct OpRequest {
    uint16_t code = 0;  // kOpReqDevlist or kOpReqImport
    std::string busid;  // of an import: the bytes before the first NUL
};

// Reads one request from the start of `bytes`: kNeedMore until it is whole
// (8 bytes for a list, 40 for an import), kMalformed for another protocol
// version or an unknown operation. Never reads past `length`.
ParseResult parseOpRequest(const uint8_t* bytes, size_t length, OpRequest& out);

// The replies, appended to `out`.
void appendDevlistReply(std::vector<uint8_t>& out, const std::vector<ExportedDevice>& devices);
// `device` is sent only with kStatusOk, as the client reads it only then.
void appendImportReply(std::vector<uint8_t>& out, uint32_t status, const ExportedDevice& device);
// The reply to request `requestCode` that reports only `status` (not kStatusOk).
void appendFailureReply(std::vector<uint8_t>& out, uint16_t requestCode, uint32_t status);

}  // namespace voksim::usbip
