// The device side of USB/IP for one device of a virtual tree: a token (its
// vendor transfers go to the token model, as through the ioctl interposer,
// with the same faults and transfer log) or a foreign device (enumeration
// only). It answers the commands that vhci-hcd sends on one stream socket.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "host/tokenRegistry.h"
#include "usbip/usbipRequests.h"

namespace voksim::usbip {

struct ServedDevice {
    std::string node;
    DeviceIds ids;
    std::shared_ptr<MappedToken> token;  // null: a foreign device
    uint32_t generation = 0;             // the token's plug generation when attached
};

// The device behind a node of a virtual tree; nullopt and `error` when the
// node is neither a token with usable state nor a device descriptor.
std::optional<ServedDevice> openServedDevice(const std::string& node, std::string& error);

enum class ServeEnd {
    kStopped,         // `stop` was set
    kClosedByKernel,  // the other end closed the socket: detached
    kUnplugged,       // the token was unplugged: the device is detached
    kStateGone,       // the token's state file was removed (its tree deleted)
    kMalformed,       // the kernel sent what no kernel sends
    kSocketError,
};

struct ServeOutcome {
    ServeEnd end = ServeEnd::kStopped;
    std::string message;  // one line for the user
};

// Serves `device` on `socketFd` until one of the ends above. Does not close
// the socket. Every byte received is also written to `recordFd` when that is
// not negative (a capture of the kernel's traffic, for the fuzz corpus).
ServeOutcome serveDevice(int socketFd, const ServedDevice& device, const std::atomic<bool>& stop,
                         int recordFd = -1);

}  // namespace voksim::usbip
