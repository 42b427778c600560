// What every public function that reaches a token does first and last: it
// starts the thread's record of the call (the last system error) and holds
// off thread cancellation for the whole call, as the C library does inside
// its own functions. The open, close and sleep calls inside are cancellation
// points; a thread cancelled in one of them would leave its handle locked,
// its lock descriptor open and the token held. A cancellation requested
// meanwhile takes effect at the caller's next cancellation point.
#pragma once

#include <pthread.h>

#include "common/vokAssert.h"
#include "diagnostics/trace.h"

class PublicCall {
  public:
    PublicCall() {
        const int r = pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &callerState_);
        VOK_ASSERT(r == 0);
        vokTraceBeginCall();
    }
    ~PublicCall() { (void)pthread_setcancelstate(callerState_, nullptr); }
    PublicCall(const PublicCall&) = delete;
    PublicCall& operator=(const PublicCall&) = delete;

  private:
    int callerState_ = PTHREAD_CANCEL_ENABLE;
};
