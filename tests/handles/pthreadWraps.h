// Link-time wrappers (-Wl,--wrap=...) around the POSIX calls that set up a
// critical section's mutex: they count the initialisations of one chosen
// mutex and can make the next call of each kind fail.
#pragma once

#include <pthread.h>

#include <atomic>

namespace vok_test {

struct PthreadWraps {
    std::atomic<const pthread_mutex_t*> countedMutex{nullptr};
    std::atomic<int> countedInits{0};
    std::atomic<int> failNextAttrInit{0};  // error number to return, 0 for none
    std::atomic<int> failNextSetType{0};
    std::atomic<int> failNextMutexInit{0};
};

extern PthreadWraps gPthreadWraps;

}  // namespace vok_test
