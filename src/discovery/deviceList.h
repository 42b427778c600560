// Device record and device list.
#pragma once

#include <cstdint>

#include "lock/mutex.h"
#include "vok/vok.h"

// One link of a circular doubly linked list with a sentinel.
struct VokListEntry {
    VokListEntry* next;
    VokListEntry* prev;
};

// One found device. The link comes first, so that a pointer to the record and
// a pointer to its list entry are the same pointer.
struct VokDevice {
    VokListEntry link;
    char* devicePath;  // owned copy of the usbfs node path
    int32_t fd;        // open node descriptor, valid only during a transaction
    char* mutexName;   // owned copy of the device-lock name (equals devicePath)
    VokMutex* mutex;   // owned storage for one VokMutex
    uint16_t productId;
    uint32_t index;  // position among the accepted devices of one scan, from 0
    VokIdInfo info;
};

// A list of device records with one iteration cursor.
struct VokDeviceList {
    VokListEntry head;  // sentinel
    VokListEntry* iterCurrent;
    VokListEntry* iterNext;
};

extern "C" {
VOK_API VokDeviceList* vokCreateDeviceList(void);
VOK_API VokDevice* vokGetFirstDevice(VokDeviceList* deviceList);
VOK_API VokDevice* vokGetNextDevice(VokDeviceList* deviceList);
VOK_API void vokFreeDeviceList(void* deviceList);
VOK_API VokDevice* vokCreateDevice(uint16_t productId, uint32_t index, const char* devicePath,
                                   const char* mutexName);
VOK_API void vokFreeDevice(VokDevice* device);
VOK_API VokDevice* vokCloneDevice(const VokDevice* device);
}

// Appends a record at the tail of a list (the only way records enter a list).
void vokAppendDevice(VokListEntry* listHead, VokDevice* device);
