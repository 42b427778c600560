#include "usbScan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "probeableNode.h"
#include "tokenUsbId.h"

namespace vokcli {

const FoundToken* tokenAtIndex(const std::vector<FoundToken>& tokens, unsigned index) {
    for (const FoundToken& token : tokens) {
        if (token.index == index) {
            return &token;
        }
    }
    return nullptr;
}

namespace {

// The part of the USB device descriptor that identifies a device.
constexpr size_t kDescriptorPrefix = 16;

uint16_t littleEndian16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Which root the library takes, and why; the library does not say.
void chooseRoot(UsbTree& tree) {
    if (const char* value = secure_getenv("USB_DEVFS_PATH")) {
        tree.environmentSet = true;
        tree.environmentValue = value;
        if (exists(value)) {
            tree.source = RootSource::kEnvironment;
            tree.root = value;
            return;
        }
    }
    if (exists("/dev/bus/usb")) {
        tree.source = RootSource::kDevBusUsb;
        tree.root = "/dev/bus/usb";
    } else if (exists("/proc/bus/usb")) {
        tree.source = RootSource::kProcBusUsb;
        tree.root = "/proc/bus/usb";
    }
}

// The library accepts this vendor and product ID pair in any revision.
bool acceptedByLibrary(uint16_t idVendor, uint16_t idProduct) {
    return idVendor == kVokVendorId && idProduct == kVokProductId;
}

void readDescriptor(int fd, UsbNode& node) {
    uint8_t d[kDescriptorPrefix];
    if (read(fd, d, sizeof d) != static_cast<ssize_t>(sizeof d)) {
        return;
    }
    node.descriptorRead = true;
    node.idVendor = littleEndian16(d + 8);
    node.idProduct = littleEndian16(d + 10);
    node.isToken = acceptedByLibrary(node.idVendor, node.idProduct);
}

// Reads the descriptor through `fd` (closed here) if the opened file is one
// the library reads: the path may have been replaced since it was looked at.
void readIfProbeable(int fd, UsbNode& node) {
    struct stat st;
    if (fstat(fd, &st) == 0 && vokIsProbeableNode(st)) readDescriptor(fd, node);
    close(fd);
}

// Only what the library would read is opened, as the library checks it (an
// odd character device may act on being opened); O_NONBLOCK on top, so that
// neither the open nor the read waits whatever the node turns out to be.
UsbNode probe(const std::string& path) {
    constexpr int kFlags = O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    UsbNode node;
    node.path = path;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return node;
    node.mode = st.st_mode;
    node.owner = st.st_uid;
    node.group = st.st_gid;
    node.probeable = vokIsProbeableNode(st);
    if (!node.probeable) return node;
    int fd = open(path.c_str(), O_RDWR | kFlags);
    if (fd >= 0) {
        readIfProbeable(fd, node);
        node.readWrite = node.descriptorRead;
        return node;
    }
    node.openError = errno;
    // Not usable by the library, but identify it anyway so that doctor can say
    // which token is out of reach.
    fd = open(path.c_str(), O_RDONLY | kFlags);
    if (fd >= 0) readIfProbeable(fd, node);
    return node;
}

void inspectBus(const std::string& busPath, UsbTree& tree) {
    DIR* bus = opendir(busPath.c_str());
    if (bus == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(bus)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        tree.nodes.push_back(probe(busPath + "/" + entry->d_name));
    }
    closedir(bus);
}

}  // namespace

UsbTree findUsbfsRoot() {
    UsbTree tree;
    chooseRoot(tree);
    return tree;
}

UsbTree inspectUsbfs() {
    UsbTree tree = findUsbfsRoot();
    if (tree.source == RootSource::kNone) {
        return tree;
    }
    DIR* root = opendir(tree.root.c_str());
    if (root == nullptr) {
        return tree;
    }
    tree.rootListable = true;
    while (const dirent* entry = readdir(root)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        inspectBus(tree.root + "/" + entry->d_name, tree);
    }
    closedir(root);
    return tree;
}

}  // namespace vokcli
