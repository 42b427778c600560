#include "host/transferLog.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

#include "host/errorText.h"
#include "host/nodeFiles.h"

namespace voksim {

bool appendLogRecord(int fd, LogRecordHeader header, const uint8_t* data) {
    if (header.dataLength > kMaxLoggedData) header.dataLength = kMaxLoggedData;
    header.recordSize = static_cast<uint32_t>(sizeof header + header.dataLength);
    iovec parts[2] = {{&header, sizeof header}, {const_cast<uint8_t*>(data), header.dataLength}};
    // One writev under the token's lock: records never interleave.
    ssize_t written = 0;
    do {
        written = writev(fd, parts, header.dataLength != 0 ? 2 : 1);
    } while (written < 0 && errno == EINTR);
    if (written == static_cast<ssize_t>(header.recordSize)) return true;
    if (written >= 0) errno = 0;
    return false;
}

bool resetLogFile(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    const bool ok =
        ftruncate(fd, 0) == 0 && pwrite(fd, kLogMagic, sizeof kLogMagic, 0) == sizeof kLogMagic;
    return close(fd) == 0 && ok;
}

std::vector<LogEntry> readLogFile(const std::string& path) {
    std::vector<LogEntry> entries;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return entries;
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    close(fd);
    if (bytes.size() < kLogHeaderSize ||
        std::memcmp(bytes.data(), kLogMagic, kLogHeaderSize) != 0) {
        return entries;
    }
    size_t position = kLogHeaderSize;
    while (bytes.size() - position >= sizeof(LogRecordHeader)) {
        LogRecordHeader header;
        std::memcpy(&header, bytes.data() + position, sizeof header);
        if (header.recordSize != sizeof header + header.dataLength ||
            bytes.size() - position < header.recordSize) {
            break;  // a torn or foreign record ends the log
        }
        LogEntry entry;
        entry.kind = header.kind == 1 ? LogEntry::kReset : LogEntry::kControl;
        entry.bRequestType = header.bRequestType;
        entry.bRequest = header.bRequest;
        entry.wValue = header.wValue;
        entry.wIndex = header.wIndex;
        entry.wLength = header.wLength;
        entry.timeout = header.timeout;
        entry.result = header.result;
        entry.error = header.error;
        entry.pid = header.pid;
        entry.fd = header.fd;
        entry.faulted = (header.flags & 1u) != 0;
        const uint8_t* data = bytes.data() + position + sizeof header;
        entry.data.assign(data, data + header.dataLength);
        entries.push_back(std::move(entry));
        position += header.recordSize;
    }
    return entries;
}

namespace {

const char* statusName(uint8_t status) {
    switch (status) {
        case kStatusOk:
            return "ok";
        case kStatusWrongPin:
            return "wrong PIN";
        case kStatusPinLockedOut:
            return "PIN locked out";
        case kStatusAccessDenied:
            return "access denied";
        case kStatusBlockLocked:
            return "block locked";
        case kStatusOutOfRange:
            return "out of range";
        case kStatusBadBlock:
            return "bad block";
        case kStatusBadParameter:
            return "bad parameter";
        case kStatusWrongTokenId:
            return "wrong token identifier";
        case kStatusProtocolError:
            return "protocol error";
        case kStatusUnknownCommand:
            return "unknown command";
        default:
            return "token status";
    }
}

// What the transcript remembers of one opener's transaction.
struct Flow {
    uint8_t command = 0;
    uint8_t lastPhase = 0xFF;
    uint16_t wordOffset = 0;
    uint16_t wordCount = 0;
    uint32_t wordPairs = 0;  // data packets or read replies seen
};

struct Masking {
    bool showPins;
    bool memoryPin;  // the main PIN lives in memory
    uint32_t pinAddress;
};

std::string hexBytes(const std::vector<uint8_t>& data, const bool* masked) {
    std::string text;
    char byte[4];
    for (size_t i = 0; i < data.size(); ++i) {
        if (i) text += ' ';
        if (masked && masked[i]) {
            text += "**";
        } else {
            (void)std::snprintf(byte, sizeof byte, "%02x", data[i]);
            text += byte;
        }
    }
    return text;
}

// Marks the bytes of a memory transfer packet (`first` at data byte
// `offset`) that fall inside the memory-resident PIN area.
void maskPinArea(const Masking& masking, const Flow& flow, size_t offset, bool* masked) {
    if (!masking.memoryPin || (flow.command != VOK_CMD_READ && flow.command != VOK_CMD_WRITE)) {
        return;
    }
    const uint32_t first = 2u * (flow.wordOffset + 2u * flow.wordPairs);
    for (uint32_t i = 0; i < 4; ++i) {
        const uint32_t address = first + i;
        if (address >= masking.pinAddress && address < masking.pinAddress + kPinFieldSize) {
            masked[offset + i] = true;
        }
    }
}

// Marks the PIN bytes of a transfer by the protocol's masking rule; memory
// bytes are masked only where they hold the memory-resident PIN.
void maskPins(const Masking& masking, const Flow& flow, int phase, bool toToken, bool* masked) {
    if (masking.showPins) return;
    for (size_t i = 0; i < kPacketSize; ++i) {
        masked[i] = masked[i] ||
                    vokwire::secretByte(flow.command, phase, toToken, i) == vokwire::Secret::kPin;
    }
}

std::string describePacket(const LogEntry& entry, Flow& flow, const Masking& masking,
                           bool* masked) {
    const std::vector<uint8_t>& d = entry.data;
    if (d.size() != kPacketSize) return "malformed packet";
    char text[160];
    const uint8_t phase = d[0];
    flow.lastPhase = phase;
    switch (phase) {
        case vokwire::kPhaseOpen:
            flow = Flow{};
            flow.command = d[1];
            flow.lastPhase = 0;
            (void)std::snprintf(text, sizeof text,
                                "phase 0: command 0x%02x '%c', block %u, PIN kind %u", d[1],
                                d[1] >= 0x20 && d[1] < 0x7F ? d[1] : '?', d[2] & 0x7Fu, d[2] >> 7);
            return text;
        case vokwire::kPhasePin:
        case vokwire::kPhaseNewPin:
            maskPins(masking, flow, phase, true, masked);
            return phase == vokwire::kPhasePin ? "phase 1: PIN" : "phase 6: new PIN";
        case vokwire::kPhaseTokenId:
            return "phase 2: token identifier";
        case vokwire::kPhaseMemoryHeader:
            flow.wordOffset = static_cast<uint16_t>(d[2] | (d[3] << 8));
            flow.wordCount = static_cast<uint16_t>(d[4] | (d[5] << 8));
            flow.wordPairs = 0;
            (void)std::snprintf(text, sizeof text, "phase 3: word offset %u, word count %u",
                                flow.wordOffset, flow.wordCount);
            return text;
        case vokwire::kPhaseWords:
            if (!masking.showPins) maskPinArea(masking, flow, 2, masked);
            ++flow.wordPairs;
            return "phase 4: words";
        case vokwire::kPhaseParameter:
            if (flow.command == VOK_CMD_SET_PIN) {
                maskPins(masking, flow, phase, true, masked);
                if (!masking.showPins) return "phase 5: new PIN length";
                (void)std::snprintf(text, sizeof text, "phase 5: new PIN length %u", d[2]);
                return text;
            }
            return "phase 5: parameters";
        case kResetPacketMarker:
            flow = Flow{};
            return "reset exchange";
        default:
            return "unknown phase";
    }
}

std::string describeReply(const LogEntry& entry, Flow& flow, const Masking& masking, bool* masked) {
    const std::vector<uint8_t>& d = entry.data;
    if (d.empty()) return "empty reply";
    char text[160];
    const bool readLoop =
        flow.lastPhase == vokwire::kPhaseMemoryHeader && vokwire::isMemoryRead(flow.command);
    if (d.size() >= 3 && flow.lastPhase == 0) {
        (void)std::snprintf(text, sizeof text, "status 0x%02x %s, tag 0x%02x", d[0],
                            statusName(d[0]), d[2]);
    } else if (d.size() >= 3) {
        (void)std::snprintf(text, sizeof text, "status 0x%02x %s, echo 0x%02x%s", d[0],
                            statusName(d[0]), d[2], readLoop && d[0] == 0 ? ", words" : "");
    } else {
        (void)std::snprintf(text, sizeof text, "status 0x%02x %s", d[0], statusName(d[0]));
    }
    if (readLoop && d.size() >= 7) {
        if (!masking.showPins) maskPinArea(masking, flow, 3, masked);
        ++flow.wordPairs;
    }
    return text;
}

}  // namespace

std::string formatTranscript(const std::vector<LogEntry>& entries, const TokenIdentity& identity,
                             bool showPins) {
    const Masking masking{showPins, identity.protocolLevel <= 21,
                          tokenGeometry(identity).pinAddress};
    std::map<std::pair<uint32_t, int32_t>, Flow> flows;
    std::string out;
    char line[256];
    size_t number = 0;
    for (const LogEntry& entry : entries) {
        ++number;
        Flow& flow = flows[{entry.pid, entry.fd}];
        char error[128];
        const std::string result =
            entry.result < 0 ? std::string("-1 ") + errorText(entry.error, error, sizeof error)
                             : std::to_string(entry.result);
        if (entry.kind == LogEntry::kReset) {
            (void)std::snprintf(line, sizeof line, "%5zu  %u:%d  RESET  -> %s\n", number, entry.pid,
                                entry.fd, result.c_str());
            out += line;
            flow = Flow{};
            continue;
        }
        const bool in = (entry.bRequestType & 0x80) != 0;
        bool masked[kMaxLoggedData] = {};
        std::string note;
        if (!entry.data.empty()) {  // a failed packet still shows what the host sent
            note = in ? describeReply(entry, flow, masking, masked)
                      : describePacket(entry, flow, masking, masked);
        }
        (void)std::snprintf(
            line, sizeof line, "%5zu  %u:%d  %s %02x %02x wValue %04x wIndex %04x len %u -> %s",
            number, entry.pid, entry.fd, in ? "IN " : "OUT", entry.bRequestType, entry.bRequest,
            entry.wValue, entry.wIndex, entry.wLength, result.c_str());
        out += line;
        if (entry.faulted) out += " (fault)";
        if (!entry.data.empty()) out += "  | " + hexBytes(entry.data, masked);
        if (!note.empty()) out += "  | " + note;
        out += '\n';
    }
    return out;
}

}  // namespace voksim
