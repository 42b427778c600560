// The monitor's memory (monitor/monitorTable.h).
#include "monitor/monitorTable.h"

#include <cstring>

#include "common/vokAssert.h"

bool slotLive(const MonitorSlot& slot) {
    return slot.state != SlotState::kFree && slot.state != SlotState::kDeparted;
}

bool slotReported(const MonitorSlot& slot) {
    return slot.state == SlotState::kRefused || slot.state == SlotState::kArrived;
}

bool slotWaiting(const MonitorSlot& slot) {
    return slot.state == SlotState::kPending || slot.state == SlotState::kRefused;
}

bool slotOpenable(const MonitorSlot& slot) {
    return slot.state == SlotState::kArrived || (slot.state == SlotState::kSilent && slot.openable);
}

uint32_t findLiveSlot(const MonitorTable& table, const char* path) {
    for (uint32_t i = 0; i < kMonitorSlots; ++i) {
        const MonitorSlot& slot = table.slots[i];
        if (slotLive(slot) && std::strcmp(slot.path, path) == 0) return i;
    }
    return kMonitorNoSlot;
}

uint32_t takeSlot(MonitorTable& table, const char* path) {
    const size_t length = std::strlen(path);
    if (length >= VOK_TOKEN_PATH_SIZE) return kMonitorNoSlot;
    uint32_t live = 0;
    uint32_t free = kMonitorNoSlot;
    for (uint32_t i = 0; i < kMonitorSlots; ++i) {
        if (slotLive(table.slots[i])) ++live;
        if (table.slots[i].state == SlotState::kFree && free == kMonitorNoSlot) free = i;
    }
    if (live >= VOK_MONITOR_MOST_TOKENS || free == kMonitorNoSlot) return kMonitorNoSlot;
    MonitorSlot& slot = table.slots[free];
    std::memcpy(slot.path, path, length + 1);
    slot.openable = false;
    slot.productId = 0;
    slot.device = 0;
    slot.inode = 0;
    slot.deadlineNanos = 0;
    return free;
}

void queueRecord(MonitorTable& table, uint32_t kind, uint32_t slot, int32_t error, uint32_t index) {
    VOK_ASSERT(slot < kMonitorSlots);
    VOK_ASSERT(table.count < kMonitorQueueSize);
    MonitorRecord& record = table.queue[(table.head + table.count) % kMonitorQueueSize];
    record = MonitorRecord{kind, slot, error, index};
    ++table.count;
    MonitorSlot& target = table.slots[slot];
    if (kind == VOK_MONITOR_LEFT) target.state = SlotState::kDeparted;
    if (kind == VOK_MONITOR_ARRIVED) target.state = SlotState::kArrived;
    if (kind == VOK_MONITOR_REFUSED) target.state = SlotState::kRefused;
}

void slotGone(MonitorTable& table, uint32_t slot) {
    VOK_ASSERT(slot < kMonitorSlots);
    if (slotReported(table.slots[slot])) {
        queueRecord(table, VOK_MONITOR_LEFT, slot, 0, VOK_MONITOR_NO_INDEX);
    } else {
        table.slots[slot].state = SlotState::kFree;
    }
}

bool takeRecord(MonitorTable& table, MonitorRecord& record) {
    if (table.count == 0) return false;
    record = table.queue[table.head];
    table.head = (table.head + 1) % kMonitorQueueSize;
    --table.count;
    if (record.kind == VOK_MONITOR_LEFT) table.slots[record.slot].state = SlotState::kFree;
    return true;
}
