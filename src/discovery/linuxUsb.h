// USB discovery under usbfs and device file access.
#pragma once

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
