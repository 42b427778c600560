// USB discovery under usbfs and device file access.
//
// The scan walks <root>/<bus>/<device>, probes every device node by reading
// the first 16 bytes of its USB device descriptor under the device lock, and
// appends a record for every node whose vendor and product IDs are accepted.
#include "discovery/linuxUsb.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "common/openAboveStdio.h"
#include "common/probeableNode.h"
#include "common/vokAssert.h"
#include "diagnostics/trace.h"
#include "lock/mutex.h"

// The accepted devices. The vendor/product ID pair 0xF055/0x0401 is this
// library's own; both rows carry it and differ only in the revision, which
// matching ignores (a token of any revision is accepted).
extern "C" const VokUsbId vokVendorIds[2] = {
    {"USB\\VID_F055&PID_0401&REV_0100", kVokVendorId, kVokProductId, 0x0100},
    {"USB\\VID_F055&PID_0401&REV_0200", kVokVendorId, kVokProductId, 0x0200},
};

namespace {

// The part of the USB device descriptor that the probe reads.
constexpr size_t kDescriptorPrefixSize = 16;
constexpr size_t kIdVendorOffset = 8;
constexpr size_t kIdProductOffset = 10;

const char* const kDevBusUsb = "/dev/bus/usb";
const char* const kProcBusUsb = "/proc/bus/usb";

uint16_t little_endian_16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

}  // namespace

// Every descriptor the library opens is close-on-exec, so no token node leaks
// into a program that the application starts, and above 2, so that nothing
// written to stdout or stderr can reach the token.
static int open_device(const char* dev_path) {
    VOK_ASSERT(dev_path);
    const int fd = vokOpenAboveStdio(dev_path, O_RDWR | O_CLOEXEC);
    if (fd < 0) vokTraceSystemError("open", dev_path, errno);
    return fd;
}

static int close_device(int fd) {
    VOK_ASSERT(fd >= 0);
    const int ret = close(fd);
    VOK_ASSERT(ret == 0);
    return 0;
}

static bool is_probeable(const char* dev_path) {
    struct stat st = {};
    return stat(dev_path, &st) == 0 && vokIsProbeableNode(st);
}

// The path may have been replaced since is_probeable looked at it: only the
// opened descriptor tells what will be read.
static bool is_probeable(int fd) {
    struct stat st = {};
    return fstat(fd, &st) == 0 && vokIsProbeableNode(st);
}

// Reads the descriptor through `fd` (the path names it in the trace): 0 with
// the product ID stored for an accepted device; -1 when the opened file is not
// one the library reads or gives fewer than 16 bytes; 16 for another device.
int vokIdentifyOpenNode(int fd, const char* dev_path, unsigned int* prod_id) {
    VOK_ASSERT(fd >= 0);
    VOK_ASSERT(prod_id);
    uint8_t prefix[kDescriptorPrefixSize];
    ssize_t got = -1;
    if (!is_probeable(fd)) {
        vokTraceFailure("neither a usbfs device node nor a file: not read", dev_path);
    } else if (got = read(fd, prefix, sizeof(prefix)); got < 0) {
        vokTraceSystemError("read", dev_path, errno);
    }
    if (got != static_cast<ssize_t>(sizeof(prefix))) return -1;
    const uint16_t idVendor = little_endian_16(prefix + kIdVendorOffset);
    const uint16_t idProduct = little_endian_16(prefix + kIdProductOffset);
    for (const VokUsbId& row : vokVendorIds) {
        if (row.idVendor == idVendor && row.idProduct == idProduct) {
            *prod_id = idProduct;
            return 0;
        }
    }
    return static_cast<int>(got);
}

// 0 with the product ID stored when the node is an accepted device; -1 when
// it cannot be opened read-write or gives fewer than 16 bytes; 16 when it is
// a device of another kind.
static int vok_probe_device(const char* dev_path, unsigned int* prod_id) {
    VOK_ASSERT(dev_path);
    VokMutex descriptor = kVokMutexNotHeld;
    vokMutexLock(dev_path, &descriptor);  // the probe goes on unlocked if it fails

    // Only usbfs device nodes and regular files (a virtual tree) are read: a
    // FIFO or a terminal under a chosen root would block the read for ever.
    if (!is_probeable(dev_path)) {
        vokMutexUnLock(&descriptor);
        return -1;
    }
    const int fd = open_device(dev_path);
    if (fd < 0) {
        vokMutexUnLock(&descriptor);
        return -1;
    }

    unsigned int productId = 0;
    const int result = vokIdentifyOpenNode(fd, dev_path, &productId);

    VOK_ASSERT(fd >= 0);
    close_device(fd);
    vokMutexUnLock(&descriptor);

    if (result == 0) {
        VOK_ASSERT(prod_id);
        *prod_id = productId;
    }
    return result;
}

static bool path_exists(const char* path) {
    struct stat st = {};
    return stat(path, &st) == 0;
}

// The rule of the scan below, for a caller that watches the root: the first
// of $USB_DEVFS_PATH (through secure_getenv), /dev/bus/usb and /proc/bus/usb
// that names anything that exists, copied to `root`; a configured root too
// long for `size` is passed over. False when none exists.
bool vokChooseUsbfsRoot(char* root, size_t size) {
    VOK_ASSERT(root);
    const char* configured = secure_getenv("USB_DEVFS_PATH");  // NOLINT(concurrency-mt-unsafe)
    for (const char* candidate : {configured, kDevBusUsb, kProcBusUsb}) {
        if (candidate == nullptr || strlen(candidate) >= size) continue;
        memcpy(root, candidate, strlen(candidate) + 1);
        if (path_exists(root)) return true;
    }
    return false;
}

void enumVendorDevices(VokListEntry* listHead) {
    if (listHead == nullptr) {
        return;
    }
    char dev_path[4096];
    size_t dev_path_len = 0;
    uint32_t count = 0;

    // The root: $USB_DEVFS_PATH when it names anything that exists (taken as
    // it stands, a trailing '/' included), else /dev/bus/usb, else /proc/bus/usb.
    // A set-user-ID (or set-group-ID, or file-capability) program does not
    // take the root from its caller: secure_getenv ignores the variable there.
    bool haveRoot = false;
    const char* configured = secure_getenv("USB_DEVFS_PATH");  // NOLINT(concurrency-mt-unsafe)
    if (configured != nullptr) {
        dev_path_len = strlen(configured);
        VOK_ASSERT(sizeof(dev_path) > dev_path_len);
        memcpy(dev_path, configured, dev_path_len + 1);
        haveRoot = path_exists(dev_path);
    }
    for (const char* fallback : {kDevBusUsb, kProcBusUsb}) {
        if (haveRoot) {
            break;
        }
        dev_path_len = strlen(fallback);
        memcpy(dev_path, fallback, dev_path_len + 1);
        haveRoot = path_exists(dev_path);
    }
    if (!haveRoot) {
        vokTraceSystemError("stat", dev_path, ENOENT);  // the last root tried
        return;
    }
    VOK_ASSERT(dev_path_len == strlen(dev_path));

    DIR* root = opendir(dev_path);
    if (root == nullptr) {
        vokTraceSystemError("opendir", dev_path, errno);  // EMFILE with no descriptor left
        return;
    }
    // Directory streams are the scan's own, so readdir is safe here.
    while (const dirent* busEntry = readdir(root)) {  // NOLINT(concurrency-mt-unsafe)
        const char* name_bus = busEntry->d_name;
        if (name_bus[0] == '.') {
            continue;
        }
        const size_t name_bus_len = strlen(name_bus);
        VOK_ASSERT(sizeof(dev_path) >= dev_path_len + 1 + name_bus_len + 1);
        dev_path[dev_path_len] = '/';
        memcpy(dev_path + dev_path_len + 1, name_bus, name_bus_len + 1);
        dev_path_len += 1 + name_bus_len;

        // A bus entry that cannot be listed (a plain file, for one) adds nothing.
        DIR* bus = opendir(dev_path);
        if (bus == nullptr && errno != ENOTDIR) vokTraceSystemError("opendir", dev_path, errno);
        if (bus != nullptr) {
            while (const dirent* devEntry = readdir(bus)) {  // NOLINT(concurrency-mt-unsafe)
                const char* name_dev = devEntry->d_name;
                if (name_dev[0] == '.') {
                    continue;
                }
                const size_t name_dev_len = strlen(name_dev);
                VOK_ASSERT(sizeof(dev_path) >= dev_path_len + 1 + name_dev_len + 1);
                dev_path[dev_path_len] = '/';
                memcpy(dev_path + dev_path_len + 1, name_dev, name_dev_len + 1);
                dev_path_len += 1 + name_dev_len;

                unsigned int productId = 0;
                if (vok_probe_device(dev_path, &productId) == 0) {
                    const uint32_t index = count++;
                    VokDevice* device = vokCreateDevice(static_cast<uint16_t>(productId), index,
                                                        dev_path, dev_path);
                    VOK_ASSERT(listHead);
                    vokAppendDevice(listHead, device);
                }

                VOK_ASSERT(dev_path_len >= name_dev_len + 1);
                dev_path_len -= name_dev_len + 1;
                dev_path[dev_path_len] = '\0';
            }
            closedir(bus);
        }

        VOK_ASSERT(dev_path_len >= name_bus_len + 1);
        dev_path_len -= name_bus_len + 1;
        dev_path[dev_path_len] = '\0';
    }
    closedir(root);
}

extern "C" void vokEnumerateUsbDevices(VokDeviceList* deviceList) {
    VOK_ASSERT(deviceList);
    enumVendorDevices(&deviceList->head);
}

extern "C" int vokOpenDevice(VokDevice* device) {
    VOK_ASSERT(device);
    const int fd = open_device(device->devicePath);
    if (fd >= 0) {
        device->fd = fd;
    }
    return fd;
}

extern "C" int vokCloseDevice(VokDevice* device) {
    VOK_ASSERT(device);
    return close_device(device->fd);
}
