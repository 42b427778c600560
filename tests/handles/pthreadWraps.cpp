#include "handles/pthreadWraps.h"

namespace vok_test {
PthreadWraps gPthreadWraps;
}

using vok_test::gPthreadWraps;

extern "C" {
int __real_pthread_mutexattr_init(pthread_mutexattr_t* attr);
int __real_pthread_mutexattr_settype(pthread_mutexattr_t* attr, int type);
int __real_pthread_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t* attr);

int __wrap_pthread_mutexattr_init(pthread_mutexattr_t* attr) {
    if (const int error = gPthreadWraps.failNextAttrInit.exchange(0)) {
        return error;
    }
    return __real_pthread_mutexattr_init(attr);
}

int __wrap_pthread_mutexattr_settype(pthread_mutexattr_t* attr, int type) {
    if (const int error = gPthreadWraps.failNextSetType.exchange(0)) {
        return error;
    }
    return __real_pthread_mutexattr_settype(attr, type);
}

int __wrap_pthread_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t* attr) {
    if (const int error = gPthreadWraps.failNextMutexInit.exchange(0)) {
        return error;
    }
    if (mutex == gPthreadWraps.countedMutex.load()) {
        ++gPthreadWraps.countedInits;
    }
    return __real_pthread_mutex_init(mutex, attr);
}
}
