// What `vok list`, `vok info` and `vok doctor` know of the usbfs tree.
//
// The tokens, their device paths and their enumeration indexes come from the
// library's listing (vokListTokens), so the N-th token here is the token
// that vokOpen(N) opens. That scan takes the device lock of every node;
// `vok doctor` must not wait for a lock file that another process holds, and
// it explains tokens that the library cannot use, so it also inspects the
// tree itself: which root, which nodes, their owners and modes, whether this
// user can open each node read-write, and (through a descriptor that never
// blocks) whether its device descriptor carries an accepted USB ID. Nothing
// is sent to any device.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>
#include <vok/vok.hpp>

namespace vokcli {

// A token found by the library's scan: index, path, product, bus and device.
using FoundToken = vok::TokenEntry;

// The library's listing: every token it accepts, in index order.
inline std::vector<FoundToken> libraryTokens() { return vok::tokens(); }

// The token the library enumerates as `index`, or null.
const FoundToken* tokenAtIndex(const std::vector<FoundToken>& tokens, unsigned index);

enum class RootSource { kEnvironment, kDevBusUsb, kProcBusUsb, kNone };

struct UsbNode {
    std::string path;  // root, bus and node joined by '/', as the library joins them
    bool descriptorRead = false;
    uint16_t idVendor = 0;
    uint16_t idProduct = 0;
    bool probeable = true;   // a usbfs device node or a regular file, as the library reads
    bool isToken = false;    // the descriptor carries a USB ID of the library's table
    bool readWrite = false;  // this user can open the node for reading and writing
    int openError = 0;       // errno of the failed read-write open
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
};

struct UsbTree {
    RootSource source = RootSource::kNone;
    std::string root;
    bool environmentSet = false;   // USB_DEVFS_PATH is set ...
    std::string environmentValue;  // ... to this
    bool rootListable = false;     // opendir of the root succeeded
    std::vector<UsbNode> nodes;    // every node of every bus directory
};

// The root the library scans, and why (the nodes left empty).
UsbTree findUsbfsRoot();

// Looks at the tree without the device lock.
UsbTree inspectUsbfs();

}  // namespace vokcli
