// The USB/IP data phase as the fuzz targets drive it: commands are parsed one
// after another from a byte stream, each complete submit's setup is answered
// as an enumeration request, and the replies are encoded. The stream ends at
// a malformed or incomplete message, as the connection would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "usbip/usbipProtocol.h"
#include "usbip/usbipRequests.h"

inline void feedDataPhase(const uint8_t* input, size_t size, const voksim::usbip::DeviceIds& ids) {
    using namespace voksim::usbip;
    EnumerationState state;
    static uint8_t buffer[kMaxTransferLength];
    std::vector<uint8_t> replies;
    size_t at = 0;
    while (at < size) {
        Command command;
        const ParseResult parsed = parseCommand(input + at, size - at, command);
        if (parsed.status != ParseStatus::kComplete) break;
        if (parsed.consumed < kHeaderSize || parsed.consumed > size - at) std::abort();
        at += parsed.consumed;
        if (command.command == kCmdUnlink) {
            appendRetUnlink(replies, command, 0);
            continue;
        }
        const uint8_t* s = command.setup;
        voksim::ControlSetup setup{s[0], s[1], static_cast<uint16_t>(s[2] | (s[3] << 8)),
                                   static_cast<uint16_t>(s[4] | (s[5] << 8)),
                                   static_cast<uint16_t>(s[6] | (s[7] << 8))};
        if (setup.wLength > command.bufferLength)
            setup.wLength = static_cast<uint16_t>(command.bufferLength);
        if (!isStandardRequest(setup.bRequestType)) continue;
        const StandardReply answer = answerStandardRequest(ids, state, setup, buffer);
        if (answer.length > setup.wLength) std::abort();
        appendRetSubmit(replies, command, answer.status, buffer, answer.length);
    }
}
