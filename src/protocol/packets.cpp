// The packet layer: one vendor control transfer per request packet or reply
// on the default control pipe of the token's usbfs node, and the reset
// exchange that brings a token back after a failed transaction.
#include "protocol/packets.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <cerrno>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#elif !defined(__aarch64__)
#include <chrono>
#endif

#include "diagnostics/capture.h"
#include "diagnostics/trace.h"

using vokwire::kRequestTypeFromToken;
using vokwire::kRequestTypeToToken;
using vokwire::kResetMarker;

thread_local TransactionProgress tTransactionProgress;

static uint8_t random_byte() {
    // Filler bytes only pad request packets; nothing reads them back, so the
    // cheapest counter the processor offers is good enough.
#if defined(__x86_64__) || defined(__i386__)
    return static_cast<uint8_t>(__rdtsc());
#elif defined(__aarch64__)
    uint64_t ticks;
    asm volatile("mrs %0, cntvct_el0" : "=r"(ticks));
    return static_cast<uint8_t>(ticks);
#else
    return static_cast<uint8_t>(std::chrono::steady_clock::now().time_since_epoch().count());
#endif
}

void fill_random(uint8_t* buffer, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        buffer[i] = random_byte();
    }
}

int32_t control_transfer(VokDevice* device, int direction, uint8_t* buffer, size_t length,
                         uint8_t value) {
    // wLength is 16 bits wide: a longer buffer cannot be described truthfully.
    if (length > UINT16_MAX) {
        return -1;
    }
    usbdevfs_ctrltransfer setup{};
    setup.bRequestType = direction == kToToken ? kRequestTypeToToken : kRequestTypeFromToken;
    setup.bRequest = vokwire::kRequest;
    setup.wValue = value;
    setup.wIndex = vokwire::kIndex;
    setup.wLength = static_cast<uint16_t>(length);
    setup.timeout = vokwire::kTimeoutMs;
    setup.data = buffer;
    const bool captured = vokCaptureOn();
    const timespec submitted = captured ? vokCaptureNow() : timespec{};
    const int transferred = ioctl(device->fd, USBDEVFS_CONTROL, &setup);
    const int error = transferred < 0 ? errno : 0;
    ++tTransactionProgress.transfers;
    if (captured) {
        vokCaptureTransfer({device->devicePath, device->productId, tTransactionProgress.command,
                            tTransactionProgress.phase, direction == kToToken, value, buffer,
                            length, transferred, error, submitted});
    }
    vokTraceTransfer(tTransactionProgress.command, tTransactionProgress.phase,
                     direction == kToToken, value, buffer, length, transferred, error);
    if (transferred < 0) {
        vokTraceSystemError("ioctl USBDEVFS_CONTROL", device->devicePath, error);
        return -1;
    }
    // A short transfer is as much a failure as an error or a time-out.
    if (static_cast<size_t>(transferred) != length) {
        vokTraceFailure("short control transfer", device->devicePath);
        return -1;
    }
    return 0;
}

extern "C" void reset_dongle(VokDevice* device, uint8_t tag) {
    Packet packet;
    Packet reply;
    tTransactionProgress.phase = vokwire::kPhaseReset;
    fill_random(packet.bytes, kPacketSize);
    packet.bytes[0] = kResetMarker;
    // All three transfers are attempted whatever the earlier ones gave: the
    // token may be in any state after a failed transaction.
    (void)control_transfer(device, kFromToken, reply.bytes, kPacketSize, tag);
    (void)control_transfer(device, kToToken, packet.bytes, kPacketSize, 0);
    (void)control_transfer(device, kFromToken, reply.bytes, kPacketSize, tag);
}
