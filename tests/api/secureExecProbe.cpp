// Run as a set-user-ID program by the secure-execution test: takes a device
// lock (a lock file in the lock directory), and says on stdout whether the
// kernel marked it for secure execution and whether a token answered at
// index 0.
#include <sys/auxv.h>
#include <unistd.h>

#include <cstdio>

#include "lock/mutex.h"
#include "vok/vok.h"

int main() {
    VokMutex lock = kVokMutexNotHeld;
    vokMutexLock("secure-exec-probe", &lock);
    vokMutexUnLock(&lock);
    const VokHandle handle = vokOpen(0);
    std::printf("secure %lu, token %s\n", getauxval(AT_SECURE),
                handle != VOK_INVALID_HANDLE ? "found" : "none");
    (void)std::fflush(stdout);
    _exit(0);  // no leak check: a set-user-ID process may not trace itself
}
