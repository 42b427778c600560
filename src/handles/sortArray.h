// The sorted array of 256 handle numbers.
#pragma once

#include <cstdint>

#include "vok/vokExport.h"

struct VokSortArrayItem {
    uint32_t handle;
    void* value;
};

constexpr uint32_t kVokSortArraySize = 256;
constexpr uint32_t kVokNoHandle = 0xFFFFFFFFu;

extern "C" {
VOK_API extern VokSortArrayItem gArrayHandle[kVokSortArraySize];
VOK_API extern uint32_t gHandleCount;
VOK_API bool vokSortArrayIsFull(void);
VOK_API uint32_t vokSortArrayInsert(void* value);
VOK_API void* vokSortArrayFind(uint32_t handle);
VOK_API void vokSortArrayRemove(uint32_t handle);
}

// The last handle number handed out (internal; tests set it to reach the wrap).
extern uint32_t gLastHandle;
