#include "usbScan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace vokcli {

namespace {

// The part of the USB device descriptor that identifies a device.
constexpr size_t kDescriptorPrefix = 16;

uint16_t littleEndian16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void chooseRoot(UsbScan& scan) {
    if (const char* value = std::getenv("USB_DEVFS_PATH")) {
        scan.environmentSet = true;
        scan.environmentValue = value;
        if (exists(value)) {
            scan.source = RootSource::kEnvironment;
            scan.root = value;
            return;
        }
    }
    if (exists("/dev/bus/usb")) {
        scan.source = RootSource::kDevBusUsb;
        scan.root = "/dev/bus/usb";
    } else if (exists("/proc/bus/usb")) {
        scan.source = RootSource::kProcBusUsb;
        scan.root = "/proc/bus/usb";
    }
}

bool readDescriptor(int fd, UsbNode& node) {
    uint8_t d[kDescriptorPrefix];
    if (read(fd, d, sizeof d) != static_cast<ssize_t>(sizeof d)) {
        return false;
    }
    node.descriptorRead = true;
    node.idVendor = littleEndian16(d + 8);
    node.idProduct = littleEndian16(d + 10);
    node.bcdDevice = littleEndian16(d + 12);
    node.isToken = node.idVendor == kTokenVendorId && node.idProduct == kTokenProductId;
    return true;
}

UsbNode probe(const std::string& path) {
    UsbNode node;
    node.path = path;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return node;
    node.mode = st.st_mode;
    node.owner = st.st_uid;
    node.group = st.st_gid;
    // Like the library, read only usbfs device nodes (character major 189)
    // and regular files (virtual tokens): a FIFO would block the read.
    constexpr unsigned kUsbDeviceMajor = 189;
    if (!S_ISREG(st.st_mode) && !(S_ISCHR(st.st_mode) && major(st.st_rdev) == kUsbDeviceMajor)) {
        return node;
    }
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        node.readWrite = readDescriptor(fd, node);
        close(fd);
        return node;
    }
    node.openError = errno;
    // Not usable by the library, but identify it anyway so that doctor can say
    // which token is out of reach.
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        readDescriptor(fd, node);
        close(fd);
    }
    return node;
}

void scanBus(const std::string& busPath, UsbScan& scan) {
    DIR* bus = opendir(busPath.c_str());
    if (bus == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(bus)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        scan.nodes.push_back(probe(busPath + "/" + entry->d_name));
    }
    closedir(bus);
}

}  // namespace

UsbScan scanUsbfs() {
    UsbScan scan;
    chooseRoot(scan);
    if (scan.source == RootSource::kNone) {
        return scan;
    }
    DIR* root = opendir(scan.root.c_str());
    if (root == nullptr) {
        return scan;
    }
    scan.rootListable = true;
    while (const dirent* entry = readdir(root)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        scanBus(scan.root + "/" + entry->d_name, scan);
    }
    closedir(root);

    int next = 0;
    for (UsbNode& node : scan.nodes) {
        if (node.isToken && node.readWrite) {
            node.index = next++;
        }
    }
    return scan;
}

const UsbNode* tokenAtIndex(const UsbScan& scan, unsigned index) {
    for (const UsbNode& node : scan.nodes) {
        if (node.index >= 0 && static_cast<unsigned>(node.index) == index) {
            return &node;
        }
    }
    return nullptr;
}

}  // namespace vokcli
