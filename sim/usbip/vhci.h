// The kernel's USB/IP client, vhci-hcd, through its sysfs files: which ports
// are free, attaching a socket to a port, detaching a port.
#pragma once

#include <string>
#include <vector>

namespace voksim::usbip {

// /sys/devices/platform/vhci_hcd.0, or VOKSIM_VHCI_DIR when set (tests).
std::string vhciDirectory();

// What attaching needs first: root, and vhci-hcd loaded. Empty when ready,
// else the message with its fix.
std::string vhciReadiness();

// The free high-speed ports, in order; `error` set when the status file
// cannot be read.
std::vector<unsigned> freeHighSpeedPorts(std::string& error);

// Hands `socketFd` to the kernel as a high-speed device on `port`. 0, or the
// errno of the write (EBUSY: the port was taken meanwhile).
int attachPort(unsigned port, int socketFd, unsigned devid);
// Detaches `port`: 0, or the errno of the write.
int detachPort(unsigned port);

}  // namespace voksim::usbip
