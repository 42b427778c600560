// Objects to hang behind test handles, and a look at a handle's entry.
#pragma once

#include <atomic>

#include "handles/handleManager.h"
#include "handles/sortArray.h"

namespace vok_test {

constexpr uint32_t kDeviceType = 1;
constexpr uint32_t kOtherType = 2;

// Counts how often the handle manager released it.
struct Tracked {
    std::atomic<int> frees{0};
};

inline void countFree(void* memory) { ++static_cast<Tracked*>(memory)->frees; }

// Only while no other thread creates or frees handles.
inline VokHandleEntry* entryOf(VokHandle handle) {
    return static_cast<VokHandleEntry*>(vokSortArrayFind(handle));
}

inline uint32_t lockStateOf(const VokCriticalSection& cs) {
    return __atomic_load_n(&cs.locked, __ATOMIC_SEQ_CST);
}

}  // namespace vok_test
