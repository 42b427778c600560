// One control transfer or port reset on a mapped token, whatever carried it:
// the injected faults, the token model and the transfer log, under the
// token's lock. The ioctl interposer and the USB/IP device side both call
// these, so a token behaves the same behind either transport.
#pragma once

#include <cstdint>

#include "host/tokenRegistry.h"
#include "voksim/tokenModel.h"

namespace voksim {

// Who made the transfer: the model keeps one transaction per opener; pid and
// fd go to the log.
struct TransferCaller {
    uint64_t opener = 0;
    uint32_t pid = 0;
    int32_t fd = -1;
};

struct TransferResult {
    int32_t result = 0;           // bytes transferred, or a negated errno
    bool waitOutTimeout = false;  // a time-out fault with realTimeouts set
};

// `buffer` holds wLength bytes to send, or receives up to wLength bytes
// (at most 4096). `generation` is the plug generation the caller's path to
// the token was made for: another one (or an unplugged token) gives -ENODEV.
TransferResult tokenControlTransfer(MappedToken& token, uint32_t generation,
                                    const TransferCaller& caller, const ControlSetup& setup,
                                    uint32_t timeoutMillis, uint8_t* buffer);
// A port reset: the caller's transaction ends. 0 or -ENODEV.
int32_t tokenPortReset(MappedToken& token, uint32_t generation, const TransferCaller& caller);
// The bus reset that comes with handing the device to another host: every
// open transaction of the token ends, whoever started it.
void tokenBusReset(MappedToken& token);

}  // namespace voksim
