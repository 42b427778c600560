// Public interface: the trace and the system error behind a failure (the
// VOK_1.1 functions). The trace itself is diagnostics/trace.cpp's; these
// only hand the application's choices to it. The file's name is part of the
// assertion texts (common/assertionTexts.txt).
#include "diagnostics/trace.h"

#include <pthread.h>

#include "common/vokAssert.h"
#include "vok/vok.h"

void vokSetLogHandler(VokLogHandler handler, void* context) {
    int r = pthread_mutex_lock(&gVokLogTarget.lock);
    VOK_ASSERT(r == 0);
    gVokLogTarget.handler = handler;
    gVokLogTarget.context = handler != nullptr ? context : nullptr;
    r = pthread_mutex_unlock(&gVokLogTarget.lock);
    VOK_ASSERT(r == 0);
}

void vokSetLogLevel(int level) { vokTraceSetLevel(level); }

int vokLastSystemError(void) { return vokTraceLastSystemError(); }
