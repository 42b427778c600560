// Handle manager: integer handles with one lock per handle.
#pragma once

#include <cstdint>

#include "handles/criticalSection.h"
#include "vok/vok.h"

struct VokHandleEntry {
    uint32_t handleType;
    VokCriticalSection entryLock;
    VOK_FREE_HANDLE_MEMORY freeHandleMemory;
    void* handleMemory;
};

extern "C" {
VOK_API extern VokCriticalSection gCriticalSection;
VOK_API bool vokCreateAndLockHandle(uint32_t handleType, void* handleMemory,
                                    VOK_FREE_HANDLE_MEMORY freeHandleMemory, VokHandle* handle);
VOK_API void* vokOpenAndLockHandle(VokHandle handle, uint32_t handleType);
VOK_API void vokUnlockHandle(VokHandle handle);
VOK_API bool vokFreeHandle(VokHandle handle, uint32_t handleType);
}
