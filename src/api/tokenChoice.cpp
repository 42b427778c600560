// Choosing a token: the listing of what discovery knows of each accepted
// token, and opening a token by its device node.
//
// Both run the scan that vokOpen runs (vokCreateDeviceList, with the device
// lock around every probe), so the listing's indexes are vokOpen's and the
// listing waits where vokOpen would. The listing sends nothing to any token:
// what it reports is what the probe read from the device descriptors. Opening
// by path hands the record it finds to vokOpenListedDevice, as vokOpen does.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "api/listedDevice.h"
#include "api/publicCall.h"
#include "api/tokenEntry.h"
#include "common/vokAssert.h"
#include "diagnostics/trace.h"
#include "discovery/deviceList.h"
#include "handles/handleManager.h"
#include "vok/vok.h"

namespace {

// Nine digits cannot overflow 32 bits; usbfs names have three.
constexpr size_t kMostNameDigits = 9;

// The number that the name from `begin` to `end` spells ("001" is 1), or 0
// for a name that is not one to nine decimal digits.
uint32_t name_number(const char* begin, const char* end) {
    const auto length = static_cast<size_t>(end - begin);
    if (length == 0 || length > kMostNameDigits) return 0;
    uint32_t number = 0;
    for (const char* digit = begin; digit != end; ++digit) {
        if (*digit < '0' || *digit > '9') return 0;
        number = number * 10 + static_cast<uint32_t>(*digit - '0');
    }
    return number;
}

// A usbfs node is <root>/<bus>/<device>, both named by their numbers.
void fill_entry(const VokDevice& device, VokTokenEntry& entry) {
    std::memset(&entry, 0, sizeof entry);
    entry.index = device.index;
    entry.productId = device.productId;
    const size_t length = std::strlen(device.devicePath);
    // The scan builds its paths in a buffer of VOK_TOKEN_PATH_SIZE bytes.
    VOK_ASSERT(length < sizeof entry.path);
    std::memcpy(entry.path, device.devicePath, length + 1);

    const char* end = device.devicePath + length;
    const char* deviceSlash = std::strrchr(device.devicePath, '/');
    if (deviceSlash == nullptr) return;
    entry.deviceNumber = name_number(deviceSlash + 1, end);
    const char* busName = deviceSlash;
    while (busName != device.devicePath && busName[-1] != '/') --busName;
    if (busName == device.devicePath) return;  // no directory above the bus
    entry.busNumber = name_number(busName, deviceSlash);
}

bool is_node(const char* path, const struct stat& wanted) {
    struct stat st = {};
    return stat(path, &st) == 0 && st.st_dev == wanted.st_dev && st.st_ino == wanted.st_ino;
}

// The record of the list whose device node is the file `wanted`, or null.
VokDevice* find_node(VokDeviceList* list, const struct stat& wanted) {
    for (VokDevice* device = vokGetFirstDevice(list); device != nullptr;
         device = vokGetNextDevice(list)) {
        if (is_node(device->devicePath, wanted)) return device;
    }
    return nullptr;
}

// Why an existing file is not a listed token, as the thread's system error:
// the errno of a read-write access check, else ENODEV (not a token at all).
void explain_unlisted(const char* path) {
    if (faccessat(AT_FDCWD, path, R_OK | W_OK, AT_EACCESS) != 0) {
        vokTraceSystemError("access", path, errno);
        return;
    }
    vokTraceSystemError("vokOpenPath", path, ENODEV);
}

}  // namespace

void vokFillTokenEntry(const VokDevice& device, VokTokenEntry& entry) { fill_entry(device, entry); }

uint32_t vokListTokens(VokTokenEntry* entries, uint32_t capacity, uint32_t* count) {
    const PublicCall call;
    if (count == nullptr || (entries == nullptr && capacity != 0)) return VOK_STATUS_BAD_ARGUMENT;
    VokDeviceList* list = vokCreateDeviceList();
    uint32_t found = 0;
    for (const VokDevice* device = vokGetFirstDevice(list); device != nullptr;
         device = vokGetNextDevice(list)) {
        if (found < capacity) fill_entry(*device, entries[found]);
        ++found;
    }
    vokFreeDeviceList(list);
    *count = found;
    return VOK_STATUS_OK;
}

VokHandle vokOpenPath(const char* path) {
    const PublicCall call;
    if (path == nullptr) {
        vokTraceSystemError("vokOpenPath", nullptr, EINVAL);
        return VOK_INVALID_HANDLE;
    }
    struct stat wanted = {};
    if (stat(path, &wanted) != 0) {
        vokTraceSystemError("stat", path, errno);
        return VOK_INVALID_HANDLE;
    }
    VokDeviceList* list = vokCreateDeviceList();
    VokDevice* device = find_node(list, wanted);
    const VokHandle handle = device != nullptr ? vokOpenListedDevice(device) : VOK_INVALID_HANDLE;
    vokFreeDeviceList(list);
    if (handle != VOK_INVALID_HANDLE) {
        vokUnlockHandle(handle);
    } else if (device == nullptr) {
        explain_unlisted(path);
    }
    return handle;
}
