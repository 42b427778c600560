// The process-wide table of handle numbers: 256 (number, pointer) pairs kept
// sorted by number, with the counter that hands out fresh numbers. The module
// takes no lock; its callers serialise every access.
#include "handles/sortArray.h"

#include "common/vokAssert.h"

VokSortArrayItem gArrayHandle[kVokSortArraySize];
uint32_t gHandleCount;
uint32_t gLastHandle = 255;

namespace {

// Result of a search. A hit when `first` and `second` differ: `first` is then
// the slot of the key. A miss when they are equal: both give the slot where
// the key would be inserted, or both are kVokNoHandle when the key belongs
// after every used slot (or the array is empty).
struct SearchResult {
    uint32_t first;
    uint32_t second;
};

}  // namespace

static bool is_hit(SearchResult result) { return result.first != result.second; }

static SearchResult sort_array_search(uint32_t key) {
    if (gHandleCount == 0) {
        return {kVokNoHandle, kVokNoHandle};
    }
    // Inclusive bounds of the slots that may still hold the key.
    uint32_t low = 0;
    uint32_t high = gHandleCount - 1;
    while (low <= high) {
        const uint32_t probe = low + (high - low) / 2;
        const uint32_t number = gArrayHandle[probe].handle;
        if (number == key) {
            return {probe, probe + 1 < gHandleCount ? probe + 1 : kVokNoHandle};
        }
        if (number < key) {
            low = probe + 1;
        } else if (probe == 0) {
            break;  // every stored number is greater than the key
        } else {
            high = probe - 1;
        }
    }
    // `low` is now the count of stored numbers smaller than the key.
    if (low < gHandleCount) {
        return {low, low};
    }
    return {kVokNoHandle, kVokNoHandle};
}

// The number after `number` that may be handed out: the counter passes over
// kVokNoHandle, which is the failure result of an insertion, to 0.
static uint32_t next_number(uint32_t number) {
    ++number;
    if (number == kVokNoHandle) {
        ++number;
    }
    return number;
}

bool vokSortArrayIsFull(void) { return gHandleCount >= kVokSortArraySize; }

uint32_t vokSortArrayInsert(void* value) {
    VOK_ASSERT(value);
    if (gHandleCount > 255) {
        return kVokNoHandle;
    }
    // Fewer than 256 numbers are in use, so this skips at most 255 of them.
    SearchResult where;
    do {
        gLastHandle = next_number(gLastHandle);
        where = sort_array_search(gLastHandle);
    } while (is_hit(where));

    uint32_t slot = gHandleCount;
    if (where.first != kVokNoHandle) {
        slot = where.first;
        for (uint32_t i = gHandleCount; i > slot; --i) {
            gArrayHandle[i] = gArrayHandle[i - 1];
        }
    }
    gArrayHandle[slot] = {gLastHandle, value};
    ++gHandleCount;
    return gLastHandle;
}

void* vokSortArrayFind(uint32_t handle) {
    const SearchResult where = sort_array_search(handle);
    return is_hit(where) ? gArrayHandle[where.first].value : nullptr;
}

void vokSortArrayRemove(uint32_t handle) {
    const SearchResult where = sort_array_search(handle);
    if (!is_hit(where)) {
        return;
    }
    --gHandleCount;
    for (uint32_t i = where.first; i < gHandleCount; ++i) {
        gArrayHandle[i] = gArrayHandle[i + 1];
    }
    gArrayHandle[gHandleCount] = {0, nullptr};
}
