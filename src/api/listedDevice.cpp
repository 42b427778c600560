// Opening a token that discovery has listed (api/listedDevice.h).
#include "api/listedDevice.h"

#include "api/deviceCall.h"
#include "diagnostics/trace.h"
#include "handles/handleManager.h"

// The handle manager frees a handle's memory through an untyped pointer.
static void free_device(void* handleMemory) {
    vokFreeDevice(static_cast<VokDevice*>(handleMemory));
}

// The token is held for the reset and the info command only, not while the
// handle is made.
VokHandle vokOpenListedDevice(VokDevice* device) {
    if (read_token_info(device) != 0) return VOK_INVALID_HANDLE;
    VokDevice* copy = vokCloneDevice(device);
    VokHandle handle = VOK_INVALID_HANDLE;
    if (!vokCreateAndLockHandle(kDeviceHandle, copy, free_device, &handle)) {
        vokTraceSystemError("vokOpen", device->devicePath, EMFILE);  // every handle in use
        vokFreeDevice(copy);
        return VOK_INVALID_HANDLE;
    }
    return handle;
}
