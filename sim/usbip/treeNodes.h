// The device nodes of a virtual tree and the bus and device numbers in their
// paths (TREE/BUS/DEVICE), as `vok-sim attach` and `vok-sim serve` name them.
#pragma once

#include <string>
#include <vector>

namespace voksim::usbip {

// Every device node of the tree (BUS/DEVICE, hidden names left out), sorted.
std::vector<std::string> treeNodes(const std::string& tree);

struct NodeAddress {
    unsigned bus = 0;
    unsigned device = 0;
};
NodeAddress addressOf(const std::string& node);

// BUS << 16 | DEVICE, as USB/IP names a remote device.
inline unsigned devidOf(const std::string& node) {
    const NodeAddress address = addressOf(node);
    return (address.bus << 16) | (address.device & 0xFFFF);
}

}  // namespace voksim::usbip
