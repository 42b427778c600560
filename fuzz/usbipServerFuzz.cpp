// Fuzz target: the USB/IP server must answer or refuse any request a network
// client sends, without reading out of bounds, and hand exactly what follows
// a granted import to the data phase.
//
// The input is what one connection receives: an operation request (a device
// list or an import), and after a granted import the data-phase stream. The
// server exports a token and a foreign device, as a virtual tree would.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "usbip/usbipOperations.h"
#include "usbipDataPhase.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    using namespace voksim::usbip;
    const DeviceIds token{0xF055, 0x0401, 0x0100};
    const DeviceIds foreign{0x1234, 0x5678, 0x0100};
    const std::vector<ExportedDevice> exported = {
        describeDevice("/tmp/tree/001/002", 1, 2, token),
        describeDevice("/tmp/tree/001/003", 1, 3, foreign)};
    OpRequest request;
    const ParseResult parsed = parseOpRequest(input, size, request);
    if (parsed.status != ParseStatus::kComplete) return 0;
    if (parsed.consumed > size || parsed.consumed < kOpHeaderSize) std::abort();
    std::vector<uint8_t> reply;
    if (request.code == kOpReqDevlist) {
        appendDevlistReply(reply, exported);
        // One interface each: 12 bytes of header and count, then per device.
        if (reply.size() != 12 + exported.size() * (kExportedDeviceSize + kExportedInterfaceSize))
            std::abort();
        return 0;
    }
    if (request.busid.size() > kBusIdSize) std::abort();  // a bus ID without its NUL
    for (size_t i = 0; i < exported.size(); ++i) {
        if (exported[i].busid != request.busid) continue;
        appendImportReply(reply, kStatusOk, exported[i]);
        if (reply.size() != kOpHeaderSize + kExportedDeviceSize) std::abort();
        feedDataPhase(input + parsed.consumed, size - parsed.consumed, i == 0 ? token : foreign);
        return 0;
    }
    appendImportReply(reply, kStatusNoDevice, ExportedDevice{});
    if (reply.size() != kOpHeaderSize) std::abort();
    return 0;
}
