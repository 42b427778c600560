// One usbmon event as a capture holds it, whatever its file format.
#pragma once

#include <cstdint>
#include <vector>

namespace vokdecode {

struct UsbEvent {
    uint64_t urb = 0;          // the kernel's URB id; QEMU writes 0
    uint8_t type = 0;          // 'S' submission, 'C' completion, 'E' submission error
    uint8_t transferType = 2;  // 2: control
    uint8_t endpoint = 0;      // bit 7: IN
    uint8_t device = 0;
    uint16_t bus = 0;
    bool hasSetup = false;
    uint8_t setup[8] = {};
    int32_t status = 0;
    uint32_t length = 0;        // the URB's length (submission) or bytes moved (completion)
    std::vector<uint8_t> data;  // the bytes captured
    double time = 0;            // seconds
};

}  // namespace vokdecode
