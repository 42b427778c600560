// The monitor's memory: the tokens it follows and the events not yet taken.
//
// Plain fixed-size records, filled in place: following a token and queueing
// its events allocate nothing. A slot holds one token instance from the
// moment it is first seen until its departure has been taken; every queued
// event names its slot, and events are made only while the queue is empty,
// so the queue never holds more than two events a slot.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "vok/vok.h"

inline constexpr uint32_t kMonitorSlots = 2 * VOK_MONITOR_MOST_TOKENS;
inline constexpr uint32_t kMonitorQueueSize = 2 * kMonitorSlots;
inline constexpr uint32_t kMonitorNoSlot = 0xFFFFFFFFu;

enum class SlotState : uint8_t {
    kFree,
    kSilent,    // present when the monitor started, not reported: never reported
    kPending,   // a token not yet openable, watched until it is or the delay ends
    kRefused,   // reported refused; still watched
    kArrived,   // reported arrived
    kDeparted,  // its departure is queued; freed when that is taken
};

struct MonitorSlot {
    SlotState state;
    bool openable;  // read-write, when last probed
    uint16_t productId;
    dev_t device;  // the node's file, to tell a new instance at the same path
    ino_t inode;
    int64_t deadlineNanos;  // kPending: when a refusal is reported
    char path[VOK_TOKEN_PATH_SIZE];
};

struct MonitorRecord {
    uint32_t kind;  // VOK_MONITOR_ARRIVED, _LEFT or _REFUSED
    uint32_t slot;
    int32_t error;
    uint32_t index;
};

struct MonitorTable {
    MonitorSlot slots[kMonitorSlots];
    MonitorRecord queue[kMonitorQueueSize];
    uint32_t head;   // the next record to take
    uint32_t count;  // records queued
};

// Whether the slot stands for a token that is there (not free, not departed).
bool slotLive(const MonitorSlot& slot);
// Whether an arrival or refusal was reported for the slot's instance.
bool slotReported(const MonitorSlot& slot);

// Whether the slot's token waits to become openable (pending or refused).
bool slotWaiting(const MonitorSlot& slot);
// Whether the slot's token counts for vokOpen's index (arrived, or present
// and openable from the start).
bool slotOpenable(const MonitorSlot& slot);

// The live slot of `path`, or kMonitorNoSlot.
uint32_t findLiveSlot(const MonitorTable& table, const char* path);
// Takes a free slot for `path` (state kFree still); kMonitorNoSlot when
// VOK_MONITOR_MOST_TOKENS tokens are live or the path does not fit.
uint32_t takeSlot(MonitorTable& table, const char* path);

// Queues an event for `slot`; a departure marks it kDeparted, a departure of
// an unreported instance frees it at once without an event.
void queueRecord(MonitorTable& table, uint32_t kind, uint32_t slot, int32_t error, uint32_t index);
// The instance in `slot` is gone: queues its departure if it was reported.
void slotGone(MonitorTable& table, uint32_t slot);

// Takes the oldest record (false when none); a taken departure frees its
// slot, whose path stays readable until the next slot is taken.
bool takeRecord(MonitorTable& table, MonitorRecord& record);
