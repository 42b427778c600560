// Device record and device list: a circular doubly linked list with a
// sentinel, filled once by the usbfs scan and walked with one cursor.
#include "discovery/deviceList.h"

#include <cstdlib>
#include <cstring>

#include "common/vokAssert.h"
#include "discovery/linuxUsb.h"

// The link is the record's first member, so both pointers are the same.
static VokDevice* asDevice(VokListEntry* entry) { return reinterpret_cast<VokDevice*>(entry); }

static char* copyText(const char* text) {
    const size_t size = strlen(text) + 1;
    auto* copy = static_cast<char*>(malloc(size));
    if (copy != nullptr) {
        memcpy(copy, text, size);
    }
    return copy;
}

extern "C" VokDeviceList* vokCreateDeviceList(void) {
    auto* deviceList = static_cast<VokDeviceList*>(malloc(sizeof(VokDeviceList)));
    VOK_ASSERT(deviceList);
    memset(deviceList, 0, sizeof(*deviceList));
    deviceList->head.prev = &deviceList->head;
    deviceList->head.next = deviceList->head.prev;
    vokEnumerateUsbDevices(deviceList);
    return deviceList;
}

extern "C" VokDevice* vokGetFirstDevice(VokDeviceList* deviceList) {
    VOK_ASSERT(deviceList);
    deviceList->iterCurrent = &deviceList->head;
    deviceList->iterNext = deviceList->head.next;
    return vokGetNextDevice(deviceList);
}

// A list whose iteration was never started (iterNext still null) yields
// nothing, like one at its end.
extern "C" VokDevice* vokGetNextDevice(VokDeviceList* deviceList) {
    VOK_ASSERT(deviceList);
    if (deviceList->iterNext == nullptr || deviceList->iterNext == &deviceList->head) {
        return nullptr;
    }
    deviceList->iterCurrent = deviceList->iterNext;
    deviceList->iterNext = deviceList->iterCurrent->next;
    return asDevice(deviceList->iterCurrent);
}

extern "C" void vokFreeDeviceList(void* deviceList) {
    VOK_ASSERT(deviceList);
    auto* list = static_cast<VokDeviceList*>(deviceList);
    VokListEntry* entry = list->head.next;
    while (entry != &list->head) {
        VokDevice* device = asDevice(entry);
        VOK_ASSERT(device);
        VokListEntry* next = entry->next;
        entry->prev->next = entry->next;
        entry->next->prev = entry->prev;
        vokFreeDevice(device);
        entry = next;
    }
    free(list);
}

extern "C" VokDevice* vokCreateDevice(uint16_t productId, uint32_t index, const char* devicePath,
                                      const char* mutexName) {
    VOK_ASSERT(devicePath);
    VOK_ASSERT(mutexName);
    auto* device = static_cast<VokDevice*>(malloc(sizeof(VokDevice)));
    VOK_ASSERT(device);
    memset(device, 0, sizeof(*device));
    device->devicePath = copyText(devicePath);
    VOK_ASSERT(device->devicePath);
    device->mutexName = copyText(mutexName);
    VOK_ASSERT(device->mutexName);
    // The VokMutex storage is checked like every other allocation of the
    // record; its contents stay uninitialised, as nothing reads them.
    device->mutex = static_cast<VokMutex*>(malloc(sizeof(VokMutex)));
    VOK_ASSERT(device->mutex);
    device->productId = productId;
    device->index = index;
    return device;
}

extern "C" void vokFreeDevice(VokDevice* device) {
    VOK_ASSERT(device);
    VOK_ASSERT(device->devicePath);
    free(device->devicePath);
    VOK_ASSERT(device->mutexName);
    free(device->mutexName);
    VOK_ASSERT(device->mutex);
    free(device->mutex);
    free(device);
}

extern "C" VokDevice* vokCloneDevice(const VokDevice* device) {
    VOK_ASSERT(device);
    VokDevice* newDevice =
        vokCreateDevice(device->productId, device->index, device->devicePath, device->mutexName);
    VOK_ASSERT(newDevice);
    memcpy(&newDevice->info, &device->info, sizeof(newDevice->info));
    return newDevice;
}

void vokAppendDevice(VokListEntry* listHead, VokDevice* device) {
    VokListEntry* entry = &device->link;
    entry->next = listHead;
    entry->prev = listHead->prev;
    listHead->prev->next = entry;
    listHead->prev = entry;
}
