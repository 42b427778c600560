#include "usbip/usbipOperations.h"

#include <algorithm>
#include <cstring>

namespace voksim::usbip {
namespace {

constexpr uint16_t kDescriptorRoom = 255;

// A NUL-padded fixed-size text field; the text is cut to leave one NUL.
void appendText(std::vector<uint8_t>& out, const std::string& text, size_t size) {
    const size_t length = std::min(text.size(), size - 1);
    out.insert(out.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length));
    out.insert(out.end(), size - length, 0);
}

void appendOpHeader(std::vector<uint8_t>& out, uint16_t code, uint32_t status) {
    appendBig16(out, kProtocolVersion);
    appendBig16(out, code);
    appendBig32(out, status);
}

void appendDevice(std::vector<uint8_t>& out, const ExportedDevice& device) {
    appendText(out, device.path, kPathSize);
    appendText(out, device.busid, kBusIdSize);
    appendBig32(out, device.busnum);
    appendBig32(out, device.devnum);
    appendBig32(out, device.speed);
    appendBig16(out, device.idVendor);
    appendBig16(out, device.idProduct);
    appendBig16(out, device.bcdDevice);
    out.push_back(device.deviceClass);
    out.push_back(device.deviceSubClass);
    out.push_back(device.deviceProtocol);
    out.push_back(device.configurationValue);
    out.push_back(device.numConfigurations);
    out.push_back(static_cast<uint8_t>(device.interfaces.size()));
}

// The descriptor of `type` as the device side answers it; its length.
uint32_t readDescriptor(const DeviceIds& ids, uint8_t type, uint8_t* buffer) {
    EnumerationState state;
    const ControlSetup setup{0x80, kGetDescriptor, static_cast<uint16_t>(type << 8), 0,
                             kDescriptorRoom};
    const StandardReply reply = answerStandardRequest(ids, state, setup, buffer);
    return reply.status == 0 ? reply.length : 0;
}

}  // namespace

ExportedDevice describeDevice(const std::string& path, uint32_t busnum, uint32_t devnum,
                              const DeviceIds& ids) {
    ExportedDevice device;
    device.path = path;
    device.busid = std::to_string(busnum) + "-" + std::to_string(devnum);
    device.busnum = busnum;
    device.devnum = devnum;
    device.idVendor = ids.idVendor;
    device.idProduct = ids.idProduct;
    device.bcdDevice = ids.bcdDevice;
    uint8_t bytes[kDescriptorRoom] = {};
    if (readDescriptor(ids, kDescriptorDevice, bytes) >= 18) {
        device.deviceClass = bytes[4];
        device.deviceSubClass = bytes[5];
        device.deviceProtocol = bytes[6];
        device.numConfigurations = bytes[17];
    }
    const uint32_t length = readDescriptor(ids, kDescriptorConfiguration, bytes);
    if (length >= 9) device.configurationValue = bytes[5];
    // The interface descriptors that follow the configuration descriptor.
    for (uint32_t at = 0; at + 2 <= length && bytes[at] >= 2; at += bytes[at]) {
        if (bytes[at + 1] == kDescriptorInterface && at + 9 <= length)
            device.interfaces.push_back({bytes[at + 5], bytes[at + 6], bytes[at + 7]});
    }
    return device;
}

ParseResult parseOpRequest(const uint8_t* bytes, size_t length, OpRequest& out) {
    if (length < kOpHeaderSize) return ParseResult{};
    const uint16_t version = readBig16(bytes);
    const uint16_t code = readBig16(bytes + 2);
    if (version != kProtocolVersion) {
        return ParseResult{ParseStatus::kMalformed, 0,
                           "USB/IP version " + std::to_string(version >> 8) + "." +
                               std::to_string(version & 0xFF) + " (this server speaks 1.17)"};
    }
    if (code == kOpReqDevlist) {
        out = OpRequest{code, {}};
        return ParseResult{ParseStatus::kComplete, kOpHeaderSize, {}};
    }
    if (code != kOpReqImport) {
        return ParseResult{ParseStatus::kMalformed, 0, "unknown operation " + std::to_string(code)};
    }
    if (length < kOpHeaderSize + kBusIdSize) return ParseResult{};
    const auto* busid = reinterpret_cast<const char*>(bytes + kOpHeaderSize);
    out = OpRequest{code, std::string(busid, strnlen(busid, kBusIdSize))};
    return ParseResult{ParseStatus::kComplete, kOpHeaderSize + kBusIdSize, {}};
}

void appendDevlistReply(std::vector<uint8_t>& out, const std::vector<ExportedDevice>& devices) {
    appendOpHeader(out, kOpRepDevlist, kStatusOk);
    appendBig32(out, static_cast<uint32_t>(devices.size()));
    for (const ExportedDevice& device : devices) {
        appendDevice(out, device);
        for (const ExportedInterface& interface : device.interfaces) {
            out.push_back(interface.interfaceClass);
            out.push_back(interface.interfaceSubClass);
            out.push_back(interface.interfaceProtocol);
            out.push_back(0);  // padding
        }
    }
}

void appendImportReply(std::vector<uint8_t>& out, uint32_t status, const ExportedDevice& device) {
    appendOpHeader(out, kOpRepImport, status);
    if (status == kStatusOk) appendDevice(out, device);
}

void appendFailureReply(std::vector<uint8_t>& out, uint16_t requestCode, uint32_t status) {
    appendOpHeader(out, requestCode == kOpReqDevlist ? kOpRepDevlist : kOpRepImport, status);
}

}  // namespace voksim::usbip
