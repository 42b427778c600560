#include "usbip/usbipProtocol.h"

#include <cstring>

namespace voksim::usbip {

uint16_t readBig16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

uint32_t readBig32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void appendBig16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

void appendBig32(std::vector<uint8_t>& out, uint32_t value) {
    appendBig16(out, static_cast<uint16_t>(value >> 16));
    appendBig16(out, static_cast<uint16_t>(value));
}

namespace {

ParseResult malformed(std::string why) {
    return ParseResult{ParseStatus::kMalformed, 0, std::move(why)};
}

void appendBasic(std::vector<uint8_t>& out, uint32_t command, const Command& request) {
    appendBig32(out, command);
    appendBig32(out, request.seqnum);
    // The reply's devid, direction and endpoint are zero, as the protocol has them.
    appendBig32(out, 0);
    appendBig32(out, 0);
    appendBig32(out, 0);
}

}  // namespace

ParseResult parseCommand(const uint8_t* bytes, size_t length, Command& out) {
    if (length < kHeaderSize) return ParseResult{};
    Command command;
    command.command = readBig32(bytes);
    command.seqnum = readBig32(bytes + 4);
    command.devid = readBig32(bytes + 8);
    command.direction = readBig32(bytes + 12);
    command.endpoint = readBig32(bytes + 16);
    if (command.command != kCmdSubmit && command.command != kCmdUnlink) {
        return malformed("unknown command " + std::to_string(command.command));
    }
    if (command.direction != kDirOut && command.direction != kDirIn) {
        return malformed("direction " + std::to_string(command.direction) +
                         " is neither in nor out");
    }
    if (command.endpoint > 15) {
        return malformed("endpoint " + std::to_string(command.endpoint) + " does not exist");
    }
    if (command.command == kCmdUnlink) {
        command.unlinkSeqnum = readBig32(bytes + 20);
        out = command;
        return ParseResult{ParseStatus::kComplete, kHeaderSize, {}};
    }
    command.transferFlags = readBig32(bytes + 20);
    command.bufferLength = readBig32(bytes + 24);
    const uint32_t packets = readBig32(bytes + 32);
    std::memcpy(command.setup, bytes + 40, sizeof command.setup);
    if (packets != 0 && packets != kNotIsochronous) {
        return malformed("isochronous transfer of " + std::to_string(packets) + " packets");
    }
    if (command.bufferLength > kMaxTransferLength) {
        return malformed("transfer of " + std::to_string(command.bufferLength) +
                         " bytes is longer than " + std::to_string(kMaxTransferLength));
    }
    size_t total = kHeaderSize;
    if (command.direction == kDirOut) {
        total += command.bufferLength;
        if (length < total) return ParseResult{};
        command.data = bytes + kHeaderSize;
    }
    out = command;
    return ParseResult{ParseStatus::kComplete, total, {}};
}

void appendRetSubmit(std::vector<uint8_t>& out, const Command& submit, int32_t status,
                     const uint8_t* data, uint32_t actualLength) {
    appendBasic(out, kRetSubmit, submit);
    appendBig32(out, static_cast<uint32_t>(status));
    appendBig32(out, actualLength);
    appendBig32(out, 0);  // start_frame
    appendBig32(out, 0);  // number_of_packets: the kernel copies it into the URB
    appendBig32(out, 0);  // error_count
    out.insert(out.end(), 8, 0);
    if (submit.direction == kDirIn && actualLength != 0) {
        out.insert(out.end(), data, data + actualLength);
    }
}

void appendRetUnlink(std::vector<uint8_t>& out, const Command& unlink, int32_t status) {
    appendBasic(out, kRetUnlink, unlink);
    appendBig32(out, static_cast<uint32_t>(status));
    out.insert(out.end(), 24, 0);
}

}  // namespace voksim::usbip
