// Fuzz target: the USB/IP device side must refuse or answer any byte stream
// from the kernel's side without reading out of bounds. The input is the
// stream itself, as the device side receives it (see usbipDataPhase.h).
#include <cstddef>
#include <cstdint>

#include "usbipDataPhase.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    feedDataPhase(input, size, voksim::usbip::DeviceIds{0xF055, 0x0401, 0x0100});
    return 0;
}
