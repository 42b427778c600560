// USB discovery under usbfs and device file access.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/tokenUsbId.h"
#include "discovery/deviceList.h"

// One row of the accepted-device table.
struct VokUsbId {
    const char* hardwareId;  // "USB\VID_xxxx&PID_yyyy&REV_zzzz"
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
};

extern "C" {
VOK_API extern const VokUsbId vokVendorIds[2];
VOK_API void vokEnumerateUsbDevices(VokDeviceList* deviceList);
VOK_API int vokOpenDevice(VokDevice* device);
VOK_API int vokCloseDevice(VokDevice* device);
}

void enumVendorDevices(VokListEntry* listHead);

// The usbfs root that the scan takes now (see linuxUsb.cpp), copied to `root`
// of `size` bytes; false when no root exists.
bool vokChooseUsbfsRoot(char* root, size_t size);

// Identifies an opened node by its device descriptor: 0 with `*productId` set
// for an accepted token, 16 for another device, -1 when the file is not one
// the scan reads or is too short. `path` names the node in the trace.
int vokIdentifyOpenNode(int fd, const char* path, unsigned int* productId);
