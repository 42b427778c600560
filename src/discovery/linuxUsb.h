// USB discovery under usbfs and device file access.
#pragma once

#include <cstdint>

#include "discovery/deviceList.h"

// One row of the accepted-device table.
struct VokUsbId {
    const char* hardwareId;  // "USB\VID_xxxx&PID_yyyy&REV_zzzz"
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
};

// This library's own vendor/product ID pair (see linuxUsb.cpp).
constexpr uint16_t kVokVendorId = 0xF055;
constexpr uint16_t kVokProductId = 0x0401;

extern "C" {
VOK_API extern const VokUsbId vokVendorIds[2];
VOK_API void vokEnumerateUsbDevices(VokDeviceList* deviceList);
VOK_API int vokOpenDevice(VokDevice* device);
VOK_API int vokCloseDevice(VokDevice* device);
}

void enumVendorDevices(VokListEntry* listHead);
