// The queue of callers waiting for a token (see tokenQueue.cpp).
#pragma once

#include <cstdint>

// Whether anybody waits in the queue of the file open as `fd`.
bool vokTokenQueueBusy(int fd);
// Joins the queue through `fd`; returns the place taken, or 0 when the
// kernel refused (the caller then waits unordered).
int64_t vokJoinTokenQueue(int fd);
// The place of a caller queued before `place` (any one of them), or 0 when
// none is; 0 also for a caller that is not queued (place 0).
int64_t vokPlaceAheadInTokenQueue(int fd, int64_t place);
// Leaves the queue (nothing for place 0).
void vokLeaveTokenQueue(int fd, int64_t place);
