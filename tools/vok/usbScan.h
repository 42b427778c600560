// The tool's own look at the usbfs tree. It walks the tree exactly as the
// library's discovery does (same root choice, same readdir order, hidden
// names skipped, a token counted only when its node opens read-write), so
// that the N-th token found here is the token that vokOpen(N) opens. The
// public interface gives no device paths, so `vok list`, `vok info` and
// `vok doctor` take them from here. Nodes are only opened and read (16 bytes
// of the device descriptor); nothing is sent to any device.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vokcli {

// The USB IDs of the token (the library accepts every revision).
constexpr uint16_t kTokenVendorId = 0xF055;
constexpr uint16_t kTokenProductId = 0x0401;

enum class RootSource { kEnvironment, kDevBusUsb, kProcBusUsb, kNone };

struct UsbNode {
    std::string path;  // root, bus and node joined by '/', as the library joins them
    bool descriptorRead = false;
    uint16_t idVendor = 0;
    uint16_t idProduct = 0;
    uint16_t bcdDevice = 0;
    bool isToken = false;    // the descriptor carries the token's IDs
    bool readWrite = false;  // this user can open the node for reading and writing
    int openError = 0;       // errno of the failed read-write open
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
    int index = -1;  // the library's enumeration index; -1: not enumerated
};

struct UsbScan {
    RootSource source = RootSource::kNone;
    std::string root;
    bool environmentSet = false;   // USB_DEVFS_PATH is set ...
    std::string environmentValue;  // ... to this
    bool rootListable = false;     // opendir of the root succeeded
    std::vector<UsbNode> nodes;    // every node of every bus directory, in scan order
};

UsbScan scanUsbfs();

// The node that the library enumerates as `index`, or null.
const UsbNode* tokenAtIndex(const UsbScan& scan, unsigned index);

}  // namespace vokcli
