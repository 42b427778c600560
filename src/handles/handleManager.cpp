// Integer handles for library objects, with one recursive lock per handle.
//
// Lock order: gCriticalSection, then a handle's entryLock. Creation, lookup
// and freeing run under gCriticalSection, and a thread that waits for a busy
// handle waits while holding it; so a thread that holds a handle's lock must
// never wait for gCriticalSection: it may not create, free or open another
// handle. vokUnlockHandle does not take that section, and neither does an
// open of a handle that the calling thread holds already.
#include "handles/handleManager.h"

#include <cstddef>
#include <cstdlib>

#include "common/vokAssert.h"
#include "handles/sortArray.h"

constinit VokCriticalSection gCriticalSection{};

// How vokUnlockHandle reaches the entry of the handle it leaves.
//
// It may not read the handle array: other threads insert and remove handles
// under gCriticalSection at the same time and move slots while doing so. It
// may not take gCriticalSection either, as a thread waiting for this very
// handle holds that section. Instead every thread keeps its own record of
// the handles it holds: the lock-taking calls note (number, entry) once they
// hold the entry's lock, and vokUnlockHandle takes the entry from that record.
// The entry stays valid for as long as the thread holds its lock, because
// vokFreeHandle first waits for the lock. Only the owning thread reads or
// writes its record, so it needs no lock.
//
// One record per distinct handle, with a count for recursive opens: a thread
// can hold at most every handle that exists, and no more than
// kVokSortArraySize handles exist, so the fixed record cannot overflow. An
// unlock of a number the thread does not hold (never issued, already freed,
// or held by another thread) finds no entry and ends the process.
namespace {

struct HeldHandle {
    VokHandle handle;
    uint32_t depth;  // lock-taking calls not yet matched by an unlock
    VokHandleEntry* entry;
};

struct HeldHandles {
    uint32_t count;
    HeldHandle items[kVokSortArraySize];
};

}  // namespace

static thread_local HeldHandles tHeldHandles;

static HeldHandle* find_held(VokHandle handle) {
    // The most recent record is the likeliest match.
    for (uint32_t i = tHeldHandles.count; i > 0; --i) {
        if (tHeldHandles.items[i - 1].handle == handle) {
            return &tHeldHandles.items[i - 1];
        }
    }
    return nullptr;
}

static void note_held(VokHandle handle, VokHandleEntry* entry) {
    HeldHandle* held = find_held(handle);
    if (held != nullptr) {
        ++held->depth;
        return;
    }
    // Cannot happen: the thread would hold more handles than can exist.
    if (tHeldHandles.count >= kVokSortArraySize) {
        VOK_ASSERT(false);
    }
    tHeldHandles.items[tHeldHandles.count++] = {handle, 1, entry};
}

// Drops one hold of `handle`; returns its entry, or null when the calling
// thread does not hold that number.
static VokHandleEntry* drop_held(VokHandle handle) {
    HeldHandle* held = find_held(handle);
    if (held == nullptr) {
        return nullptr;
    }
    VokHandleEntry* entry = held->entry;
    if (--held->depth == 0) {
        *held = tHeldHandles.items[--tHeldHandles.count];
    }
    return entry;
}

static VokHandleEntry* find_handle(VokHandle handle, uint32_t handleType) {
    auto* entry = static_cast<VokHandleEntry*>(vokSortArrayFind(handle));
    if (entry == nullptr || entry->handleType != handleType) {
        return nullptr;
    }
    return entry;
}

bool vokCreateAndLockHandle(uint32_t handleType, void* handleMemory,
                            VOK_FREE_HANDLE_MEMORY freeHandleMemory, VokHandle* handle) {
    VOK_ASSERT(handle);
    VOK_ASSERT(handleMemory);
    VOK_ASSERT(freeHandleMemory);

    vokEnterCriticalSection(&gCriticalSection);
    if (vokSortArrayIsFull()) {
        vokLeaveCriticalSection(&gCriticalSection);
        return false;
    }
    auto* entry = static_cast<VokHandleEntry*>(std::malloc(sizeof(VokHandleEntry)));
    if (entry == nullptr) {
        vokLeaveCriticalSection(&gCriticalSection);
        return false;
    }
    entry->handleType = handleType;
    entry->handleMemory = handleMemory;
    entry->freeHandleMemory = freeHandleMemory;
    // The rest of the section stays as allocated: its first enter sets it up.
    __atomic_store_n(&entry->entryLock.locked, 0, __ATOMIC_SEQ_CST);

    const uint32_t number = vokSortArrayInsert(entry);
    if (number == kVokNoHandle) {
        VOK_ASSERT(false);  // the array was not full a moment ago
    }
    *handle = number;
    vokEnterCriticalSection(&entry->entryLock);
    note_held(number, entry);
    vokLeaveCriticalSection(&gCriticalSection);
    return true;
}

void* vokOpenAndLockHandle(VokHandle handle, uint32_t handleType) {
    // A thread that holds the handle already takes it once more without
    // gCriticalSection: another thread may be waiting for this very handle
    // while it holds gCriticalSection, so waiting for that section here would
    // block both for ever. The entry stays valid while this thread holds it.
    if (HeldHandle* held = find_held(handle)) {
        VokHandleEntry* entry = held->entry;
        if (entry->handleType != handleType) {
            return nullptr;
        }
        vokEnterCriticalSection(&entry->entryLock);
        ++held->depth;
        return entry->handleMemory;
    }

    void* handleMemory = nullptr;
    vokEnterCriticalSection(&gCriticalSection);
    VokHandleEntry* entry = find_handle(handle, handleType);
    if (entry != nullptr) {
        // Waits here, still holding gCriticalSection, while another thread
        // holds the handle.
        vokEnterCriticalSection(&entry->entryLock);
        note_held(handle, entry);
        handleMemory = entry->handleMemory;
    }
    vokLeaveCriticalSection(&gCriticalSection);
    return handleMemory;
}

void vokUnlockHandle(VokHandle handle) {
    VokHandleEntry* entry = drop_held(handle);
    // NULL, not nullptr: the expression is the assertion's documented text.
    VokCriticalSection* handleLock = entry != nullptr ? &entry->entryLock : nullptr;
    VOK_ASSERT(handleLock != NULL);  // NOLINT(modernize-use-nullptr)
    vokLeaveCriticalSection(handleLock);
}

bool vokFreeHandle(VokHandle handle, uint32_t handleType) {
    vokEnterCriticalSection(&gCriticalSection);
    VokHandleEntry* entry = find_handle(handle, handleType);
    if (entry == nullptr) {
        vokLeaveCriticalSection(&gCriticalSection);
        return false;
    }
    // Waits for the thread that uses the handle, if any. Nobody else can be
    // waiting for this lock: waiting needs gCriticalSection, held here.
    vokEnterCriticalSection(&entry->entryLock);
    vokLeaveCriticalSection(&entry->entryLock);
    vokDeleteCriticalSection(&entry->entryLock);
    entry->freeHandleMemory(entry->handleMemory);
    vokSortArrayRemove(handle);
    std::free(entry);
    vokLeaveCriticalSection(&gCriticalSection);
    return true;
}
