// The packet layer (packets.cpp): one control transfer per packet or reply,
// the reset exchange, and what the transaction engine shares with it: the
// sizes and directions of a transfer, the wiped buffers every packet and
// reply lives in, and the progress of the thread's transaction that the
// trace reports.
#pragma once

#include <string.h>

#include <cstddef>
#include <cstdint>

#include "common/wireFacts.h"
#include "discovery/deviceList.h"
#include "vok/vok.h"

inline constexpr size_t kPacketSize = vokwire::kPacketSize;
inline constexpr size_t kLongReplySize = vokwire::kLongReplySize;
inline constexpr int kToToken = 0;
inline constexpr int kFromToken = 1;

// A packet or reply buffer of a transaction. Packets carry PIN bytes (phases
// 1 and 6) and replies carry token memory, so every such buffer is wiped when
// it goes out of scope, on every path.
template <size_t N>
struct WipedBytes {
    uint8_t bytes[N];
    WipedBytes() = default;
    WipedBytes(const WipedBytes&) = delete;
    WipedBytes& operator=(const WipedBytes&) = delete;
    ~WipedBytes() { explicit_bzero(bytes, N); }
};

using Packet = WipedBytes<kPacketSize>;
using LongReply = WipedBytes<kLongReplySize>;

// The command code and the phase of the thread's transaction (-1: before
// phase 0, or the reset exchange), and the transfers it has made so far.
struct TransactionProgress {
    uint8_t command = 0;
    int phase = -1;
    uint32_t transfers = 0;
};

extern thread_local TransactionProgress tTransactionProgress;

// Fills `buffer` with filler bytes for the unused bytes of a request packet.
void fill_random(uint8_t* buffer, size_t length);
// One vendor control transfer of `length` bytes (kToToken or kFromToken) with
// wValue `value`, counted and traced: 0, or -1 on an error, a time-out or a
// short transfer.
int32_t control_transfer(VokDevice* device, int direction, uint8_t* buffer, size_t length,
                         uint8_t value);

extern "C" {
// The reset exchange after a transport failure. Exported, not in the public header.
VOK_API void reset_dongle(VokDevice* device, uint8_t tag);
}
