// The token's transfer log: an append-only binary file beside its state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "voksim/voksim.h"

namespace voksim {

inline constexpr size_t kLogHeaderSize = 8;
inline constexpr size_t kMaxLoggedData = 4096;

// One record as it stands in the file (host byte order), followed by
// dataLength bytes.
struct LogRecordHeader {
    uint32_t recordSize;
    uint8_t kind;
    uint8_t bRequestType;
    uint8_t bRequest;
    uint8_t flags;  // bit 0: an injected fault changed the transfer
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;
    uint16_t dataLength;
    uint32_t timeout;
    int32_t result;
    int32_t error;
    uint32_t pid;
    int32_t fd;
    uint32_t reserved;
};
static_assert(sizeof(LogRecordHeader) == 40);

// Appends one record with a single write; `fd` is the log opened with
// O_APPEND. Called with the token's lock held. Allocates nothing. False when
// the record did not reach the file whole (errno tells why; 0 for a short
// write).
bool appendLogRecord(int fd, LogRecordHeader header, const uint8_t* data);
// Creates or empties a log file, leaving only its header.
bool resetLogFile(const std::string& path);
std::vector<LogEntry> readLogFile(const std::string& path);
// The readable transcript of `entries` on a token with `identity`.
std::string formatTranscript(const std::vector<LogEntry>& entries, const TokenIdentity& identity,
                             bool showPins);

}  // namespace voksim
