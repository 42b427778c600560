// A recursive lock usable from zero-filled storage.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "vok/vokExport.h"

struct VokCriticalSection {
    uint32_t locked;  // state and entry counter; accessed only atomically
    pthread_mutex_t recursiveMutex;
};

extern "C" {
VOK_API void vokEnterCriticalSection(VokCriticalSection* cs);
VOK_API void vokLeaveCriticalSection(VokCriticalSection* cs);
VOK_API void vokDeleteCriticalSection(VokCriticalSection* cs);
}
