// The data phase of USB/IP as the device side sees it: the commands that the
// kernel's vhci-hcd sends (CMD_SUBMIT, CMD_UNLINK) and the replies it expects
// (RET_SUBMIT, RET_UNLINK). Every field on the wire is big-endian; each
// message is a 48-byte header, a CMD_SUBMIT to the device followed by its
// data and a RET_SUBMIT from the device by the data read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace voksim::usbip {

inline constexpr uint32_t kCmdSubmit = 1;
inline constexpr uint32_t kCmdUnlink = 2;
inline constexpr uint32_t kRetSubmit = 3;
inline constexpr uint32_t kRetUnlink = 4;
inline constexpr uint32_t kDirOut = 0;
inline constexpr uint32_t kDirIn = 1;
inline constexpr size_t kHeaderSize = 48;
// usbfs refuses control transfers above one page; nothing longer is served.
inline constexpr uint32_t kMaxTransferLength = 4096;
// number_of_packets of a transfer that is not isochronous: 0 from the Linux
// kernel, 0xFFFFFFFF as the protocol's description has it.
inline constexpr uint32_t kNotIsochronous = 0xFFFFFFFF;

// USB/IP numbers travel big-endian.
uint16_t readBig16(const uint8_t* p);
uint32_t readBig32(const uint8_t* p);
void appendBig16(std::vector<uint8_t>& out, uint16_t value);
void appendBig32(std::vector<uint8_t>& out, uint32_t value);

struct Command {
    uint32_t command = 0;  // kCmdSubmit or kCmdUnlink
    uint32_t seqnum = 0;
    uint32_t devid = 0;
    uint32_t direction = 0;  // kDirOut or kDirIn
    uint32_t endpoint = 0;   // 0 to 15
    // CMD_SUBMIT
    uint32_t transferFlags = 0;
    uint32_t bufferLength = 0;
    uint8_t setup[8] = {};
    const uint8_t* data = nullptr;  // bufferLength bytes for a submit to the device
    // CMD_UNLINK
    uint32_t unlinkSeqnum = 0;
};

enum class ParseStatus { kComplete, kNeedMore, kMalformed };

struct ParseResult {
    ParseStatus status = ParseStatus::kNeedMore;
    size_t consumed = 0;  // bytes of the message, when complete
    std::string error;    // why the input is refused, when malformed
};

// Reads one command from the start of `bytes`. Never reads past `length`;
// `out.data` points into `bytes`. A message that cannot be whole yet gives
// kNeedMore; one that no well-behaved kernel sends (an unknown command, a
// direction other than in/out, an endpoint above 15, an isochronous transfer,
// a transfer longer than kMaxTransferLength) gives kMalformed.
ParseResult parseCommand(const uint8_t* bytes, size_t length, Command& out);

// The replies, appended to `out`.
void appendRetSubmit(std::vector<uint8_t>& out, const Command& submit, int32_t status,
                     const uint8_t* data, uint32_t actualLength);
void appendRetUnlink(std::vector<uint8_t>& out, const Command& unlink, int32_t status);

}  // namespace voksim::usbip
