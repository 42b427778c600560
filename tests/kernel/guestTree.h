// What the programs that run in the test guest share: the usbfs nodes of the
// attached devices and the virtual tree behind them.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "voksim/voksim.h"

namespace guest {

struct UsbNode {
    std::string path;
    bool characterDevice = false;
    unsigned major = 0;
    uint16_t idVendor = 0;
    uint16_t idProduct = 0;
};

// Every node under /dev/bus/usb with the IDs of its device descriptor.
inline std::vector<UsbNode> usbNodes() {
    std::vector<UsbNode> nodes;
    std::error_code error;
    for (const auto& bus : std::filesystem::directory_iterator("/dev/bus/usb", error)) {
        for (const auto& device : std::filesystem::directory_iterator(bus.path(), error)) {
            UsbNode node;
            node.path = device.path().string();
            struct stat status {};
            if (stat(node.path.c_str(), &status) != 0) continue;
            node.characterDevice = S_ISCHR(status.st_mode);
            node.major = major(status.st_rdev);
            uint8_t descriptor[18] = {};
            const int fd = open(node.path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0) {
                if (read(fd, descriptor, sizeof descriptor) == sizeof descriptor) {
                    node.idVendor = static_cast<uint16_t>(descriptor[8] | (descriptor[9] << 8));
                    node.idProduct = static_cast<uint16_t>(descriptor[10] | (descriptor[11] << 8));
                }
                close(fd);
            }
            nodes.push_back(node);
        }
    }
    return nodes;
}

// The virtual tree that `vok-sim attach` serves (VOK_KERNEL_TREE).
inline std::string treeRoot() {
    const char* root = std::getenv("VOK_KERNEL_TREE");
    return root ? root : "/tmp/tree";
}

// The tree's node of the token whose identifier is `tokenId`; empty if none.
inline std::string treeNodeOf(const uint8_t* tokenId) {
    std::error_code error;
    for (const auto& bus : std::filesystem::directory_iterator(treeRoot(), error)) {
        for (const auto& device : std::filesystem::directory_iterator(bus.path(), error)) {
            const std::string node = device.path().string();
            if (device.path().filename().string()[0] == '.') continue;
            const auto state = voksim::readState(node);
            if (state && std::memcmp(state->identity.tokenId, tokenId, 8) == 0) return node;
        }
    }
    return {};
}

}  // namespace guest
