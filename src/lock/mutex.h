// Device lock: a pool thread lock plus a record lock on a shared lock file.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "vok/vokExport.h"

// A held device lock. {-1, nullptr} is "not held": unlocking it does nothing.
struct VokMutex {
    int32_t fd;              // lock file descriptor; the record lock lives with it
    pthread_mutex_t* mutex;  // the pool thread lock taken for the name
};

constexpr VokMutex kVokMutexNotHeld = {-1, nullptr};

extern "C" {
VOK_API void vokMutexLock(const char* name, VokMutex* mutex);
VOK_API void vokMutexUnLock(VokMutex* mutex);
}
