// A recursive lock that needs no initialisation call.
//
// The word `locked` drives the lazy set-up of the mutex and counts the enters
// that are not yet matched by a leave:
//   0      zeroed storage, or deleted: the mutex bytes are meaningless
//   1      one thread is initialising or destroying the mutex
//   2      initialised and idle
//   2 + n  n enters outstanding (recursive enters of the holder, plus threads
//          that have counted themselves in and still wait for the mutex)
// Threads that hold no lock read and change the word, so every access is a
// sequentially consistent atomic operation; zero-filled storage is therefore
// a valid section and no constructor ever runs.
#include "handles/criticalSection.h"

#include <pthread.h>
#include <unistd.h>

#include "common/vokAssert.h"

static constexpr uint32_t kSectionUninitialised = 0;
static constexpr uint32_t kSectionTransitional = 1;
static constexpr uint32_t kSectionIdle = 2;

static uint32_t load_state(const VokCriticalSection* cs) {
    return __atomic_load_n(&cs->locked, __ATOMIC_SEQ_CST);
}

static bool swap_state(VokCriticalSection* cs, uint32_t from, uint32_t to) {
    return __atomic_compare_exchange_n(&cs->locked, &from, to, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}

static void store_state(VokCriticalSection* cs, uint32_t to) {
    __atomic_exchange_n(&cs->locked, to, __ATOMIC_SEQ_CST);
}

struct StateSnapshot {
    uint32_t locked;
};

// Returns false when any of the POSIX calls failed.
static bool init_recursive_mutex(pthread_mutex_t* mutex) {
    pthread_mutexattr_t attr;
    int result = pthread_mutexattr_init(&attr);
    if (result != 0) {
        return false;
    }
    result = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    if (result == 0) {
        result = pthread_mutex_init(mutex, &attr);
    }
    pthread_mutexattr_destroy(&attr);
    return result == 0;
}

void vokEnterCriticalSection(VokCriticalSection* cs) {
    VOK_ASSERT(cs);
    do {
        if (swap_state(cs, kSectionUninitialised, kSectionTransitional)) {
            if (!init_recursive_mutex(&cs->recursiveMutex)) {
                VOK_ASSERT(false);
            }
            store_state(cs, kSectionIdle);
        } else {
            // Also taken on every enter of an initialised section: it yields
            // once before counting itself in.
            sleep(0);  // NOLINT(concurrency-mt-unsafe): sleep is thread-safe in glibc
        }
    } while (load_state(cs) < kSectionIdle);

    // A result of 2 or less means the section was deleted under this thread,
    // or the counter wrapped.
    if (__atomic_add_fetch(&cs->locked, 1, __ATOMIC_SEQ_CST) <= kSectionIdle) {
        VOK_ASSERT(false);
    }
    pthread_mutex_lock(&cs->recursiveMutex);
}

void vokLeaveCriticalSection(VokCriticalSection* cs) {
    VOK_ASSERT(cs);
    // No outstanding enter: the section is idle, in transition or was never
    // initialised.
    if (__atomic_fetch_sub(&cs->locked, 1, __ATOMIC_SEQ_CST) <= kSectionIdle) {
        VOK_ASSERT(false);
    }
    pthread_mutex_unlock(&cs->recursiveMutex);
}

void vokDeleteCriticalSection(VokCriticalSection* cs) {
    VOK_ASSERT(cs);
    {
        // The check reads one atomic snapshot of the state word; the inner
        // `cs` keeps the assertion's text in the terms of the section.
        const StateSnapshot snapshot{load_state(cs)};
        const StateSnapshot* const cs = &snapshot;
        VOK_ASSERT(cs->locked <= 2);
    }
    // Only an idle section is destroyed; in state 0 (or 1 while another
    // thread initialises it) nothing happens.
    if (swap_state(cs, kSectionIdle, kSectionTransitional)) {
        pthread_mutex_destroy(&cs->recursiveMutex);
        store_state(cs, kSectionUninitialised);
    }
}
