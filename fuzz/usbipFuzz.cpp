// Fuzz target: the USB/IP device side must refuse or answer any byte stream
// from the kernel's side without reading out of bounds.
//
// The input is the stream itself, as the device side receives it: commands
// are parsed one after another, each complete submit's setup is answered as
// an enumeration request, and the replies are encoded. The stream ends at a
// malformed or incomplete message, as the connection would.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "usbipProtocol.h"
#include "usbipRequests.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    using namespace voksim::usbip;
    const DeviceIds ids{0xF055, 0x0401, 0x0100};
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
    return 0;
}
