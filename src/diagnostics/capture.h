// The library's own capture of the transfers it makes (VOK_CAPTURE=FILE): a
// pcap file with the link type of Linux's usbmon, so that the vok tool's
// decoder and Wireshark read it as they read a capture taken on the bus.
//
// Off by default; the environment is read once, and while the capture is off
// each transfer costs one relaxed atomic load. Records are appended with one
// write per transfer (its submission and completion together) to a file
// opened with O_APPEND, so threads and processes may share one file. PIN and
// memory bytes are masked by the protocol's rule unless VOK_CAPTURE_PINS=1.
// Formatting uses stack buffers only.
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>

// Whether the capture is on (the first call reads the environment).
bool vokCaptureOn();
// CLOCK_REALTIME now: the submission time of a transfer about to be made.
timespec vokCaptureNow();

// One control transfer of the token protocol on the node at `devicePath`
// (/dev/bus/usb/BBB/DDD), made in `phase` of a transaction of `command`.
// `result` is what the kernel returned (bytes or -1), `error` its errno.
struct VokCapturedTransfer {
    const char* devicePath;
    uint16_t productId;
    uint8_t command;
    int phase;
    bool toToken;
    uint16_t value;
    const uint8_t* bytes;
    size_t length;
    int result;
    int error;
    timespec submitted;
};
void vokCaptureTransfer(const VokCapturedTransfer& transfer);

// A port reset of the device: the kernel reads the device descriptor again,
// and so does the capture.
void vokCaptureReset(const char* devicePath, uint16_t productId);

// For tests: forget the cached settings and close the file, so that the
// next transfer reads the environment again.
void vokCaptureForget();
