// The transaction engine.
//
// A transaction opens the token's usbfs node, runs the phases that the
// record's command code selects, recovers from a transport failure with the
// reset exchange and closes the node again. Phase 0 hands out the transaction
// tag: every later request packet carries it in byte 1, every later transfer
// from the token passes it as wValue, and every later reply must echo it in
// byte 2.
//
// Nothing here allocates: packets and replies live on the stack, wiped when
// they go out of scope, and the request record belongs to the caller.
#include "protocol/ioctl.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/libraryStatus.h"
#include "common/vokAssert.h"
#include "common/wireFacts.h"
#include "diagnostics/capture.h"
#include "diagnostics/trace.h"
#include "discovery/linuxUsb.h"
#include "lock/tokenLock.h"
#include "protocol/packets.h"

// The highest memory model whose geometry the library knows (0 and 1: 16-byte
// units, 2: 256-byte units).
static constexpr uint8_t kHighestMemoryModel = 2;
static constexpr unsigned kInitializeSettleSeconds = 6;

using vokwire::endsAfterPhase0;
using vokwire::isMemoryRead;
using vokwire::isMemoryWrite;
using vokwire::sendsParameters;

// Memory transfers move whole word pairs, so an odd count touches the two
// bytes after its last word; a count within the record's capacity keeps every
// touched byte inside the data area.
static bool word_count_fits(const TDRVREQUEST_MEK* request) {
    return request->wordCount <= VOK_REQUEST_MAX_WORDS;
}

static size_t word_pair_count(const TDRVREQUEST_MEK* request) {
    return (static_cast<size_t>(request->wordCount) + 1) / 2;
}

// Byte 1 of the record holds blockId and pinType; the token receives it as it is.
static uint8_t block_and_pin_type_byte(const TDRVREQUEST_MEK* request) {
    return reinterpret_cast<const uint8_t*>(request)[1];
}

// Sends `count` request packets of one phase: the phase number, the
// transaction tag and the next four bytes of `source` each, filler elsewhere.
// Stops at the first failed transfer.
static bool send_packets(VokDevice* device, uint8_t phase, uint8_t tag, const uint8_t* source,
                         size_t count) {
    Packet packet;
    for (size_t i = 0; i < count; ++i) {
        fill_random(packet.bytes, kPacketSize);
        packet.bytes[0] = phase;
        packet.bytes[1] = tag;
        std::memcpy(packet.bytes + 2, source + 4 * i, 4);
        if (control_transfer(device, kToToken, packet.bytes, kPacketSize, 0) != 0) {
            return false;
        }
    }
    return true;
}

// Reads one 8-byte reply of phases 1 to 6.
static bool read_reply(VokDevice* device, uint8_t tag, uint8_t* reply) {
    return control_transfer(device, kFromToken, reply, kPacketSize, tag) == 0;
}

static bool echoes_tag(const uint8_t* reply, uint8_t tag) {
    if (reply[2] == tag) return true;
    vokTraceFailure("reply did not echo the transaction tag", nullptr);
    return false;
}

// Takes the status byte of the reply that ends a phase.
static int finish_phase(TDRVREQUEST_MEK* request, uint8_t status) {
    request->status = status;
    return status;
}

// Reads the reply that ends phases 2, 4, 5 and 6 and takes its status.
static int end_phase(VokDevice* device, uint8_t tag, TDRVREQUEST_MEK* request) {
    Packet reply{};
    if (!read_reply(device, tag, reply.bytes) || !echoes_tag(reply.bytes, tag)) {
        return kStatusTransferFailed;
    }
    return finish_phase(request, reply.bytes[0]);
}

int cmdProtocolMOP0(VokDevice* device, TDRVREQUEST_MEK* request, uint8_t* tag) {
    tTransactionProgress.phase = vokwire::kPhaseOpen;
    request->status = kStatusOk;
    Packet packetBuffer;
    uint8_t* const packet = packetBuffer.bytes;
    fill_random(packet, kPacketSize);
    packet[vokwire::kPacketPhase] = vokwire::kPhaseOpen;
    packet[vokwire::kPacketCommand] = request->command;
    packet[vokwire::kPacketBlockByte] = block_and_pin_type_byte(request);
    if (control_transfer(device, kToToken, packet, kPacketSize, 0) != 0) {
        return kStatusTransferFailed;
    }

    LongReply replyBuffer{};
    uint8_t* const reply = replyBuffer.bytes;
    if (endsAfterPhase0(request->command)) {
        if (control_transfer(device, kFromToken, reply, kLongReplySize, 0) != 0) {
            return kStatusTransferFailed;
        }
        if (reply[0] == kStatusOk) {
            std::memcpy(request->data, reply + 8, 8);
            request->flagA = reply[1] & 0x01;
            request->flagB = (reply[1] >> 1) & 0x01;
        }
    } else if (control_transfer(device, kFromToken, reply, kPacketSize, 0) != 0) {
        return kStatusTransferFailed;
    }

    uint8_t status = reply[0];
    // A token that reports a memory model the library cannot compute the
    // geometry of is refused here, before its tag and reply fields are taken
    // over: the transaction ends with status 7 and without a reset exchange.
    // Only a successful reply is tested; a token's own error status passes
    // through unchanged.
    if (status == kStatusOk && reply[4] > kHighestMemoryModel) {
        status = kStatusUnknownMemoryModel;
    }
    if (status == kStatusOk) {
        *tag = reply[2];
        request->versionNibbles = reply[3];
        request->memoryModel = reply[4];
        request->protocolLevel = reply[5];
        request->infoByte = reply[6];
        request->memoryUnits = reply[7];
    }
    return finish_phase(request, status);
}

int cmdProtocolMOP1(uint8_t tag, VokDevice* device, TDRVREQUEST_MEK* request) {
    tTransactionProgress.phase = vokwire::kPhasePin;
    if (endsAfterPhase0(request->command)) {
        VOK_ASSERT(false);
    }
    request->status = kStatusOk;
    if (!send_packets(device, vokwire::kPhasePin, tag, request->pin, vokwire::kPinPackets)) {
        return kStatusTransferFailed;
    }
    Packet replyBuffer{};
    uint8_t* const reply = replyBuffer.bytes;
    if (!read_reply(device, tag, reply)) {
        return kStatusTransferFailed;
    }
    // Kept even when the reply is then rejected for a missing echo.
    request->pinPhaseReply = reply[1];
    if (!echoes_tag(reply, tag)) {
        return kStatusTransferFailed;
    }
    return finish_phase(request, reply[0]);
}

int cmdProtocolMOP2(uint8_t tag, VokDevice* device, TDRVREQUEST_MEK* request) {
    tTransactionProgress.phase = vokwire::kPhaseTokenId;
    request->status = kStatusOk;
    if (!send_packets(device, vokwire::kPhaseTokenId, tag, request->tokenId,
                      vokwire::kTokenIdPackets)) {
        return kStatusTransferFailed;
    }
    return end_phase(device, tag, request);
}

int cmdProtocolMOP3(uint8_t tag, VokDevice* device, TDRVREQUEST_MEK* request) {
    tTransactionProgress.phase = vokwire::kPhaseMemoryHeader;
    const uint8_t code = request->command;
    if (!isMemoryRead(code) && !isMemoryWrite(code)) {
        VOK_ASSERT(false);
    }
    request->status = kStatusOk;
    if (!word_count_fits(request)) {
        return finish_phase(request, kStatusBadArgument);
    }

    Packet packetBuffer;
    uint8_t* const packet = packetBuffer.bytes;
    fill_random(packet, kPacketSize);
    packet[vokwire::kPacketPhase] = vokwire::kPhaseMemoryHeader;
    packet[vokwire::kPacketTag] = tag;
    packet[2] = static_cast<uint8_t>(request->wordOffset);
    packet[3] = static_cast<uint8_t>(request->wordOffset >> 8);
    packet[4] = static_cast<uint8_t>(request->wordCount);
    packet[5] = static_cast<uint8_t>(request->wordCount >> 8);
    if (control_transfer(device, kToToken, packet, kPacketSize, 0) != 0) {
        return kStatusTransferFailed;
    }
    // A write hears from the token only after its data packets (phase 4).
    if (isMemoryWrite(code)) {
        return kStatusOk;
    }
    if (request->wordCount == 0) {
        return finish_phase(request, kStatusBadArgument);
    }

    // One reply per word pair; a non-zero status stops the read, and the words
    // stored before the stop stay in the data area.
    Packet replyBuffer{};
    uint8_t* const reply = replyBuffer.bytes;
    for (size_t k = 0; k < request->wordCount; k += 2) {
        if (!read_reply(device, tag, reply) || !echoes_tag(reply, tag)) {
            return kStatusTransferFailed;
        }
        if (reply[0] != kStatusOk) {
            break;
        }
        std::memcpy(request->data + 2 * k, reply + 3, 4);
    }
    return finish_phase(request, reply[0]);
}

int cmdProtocolMOP4(uint8_t tag, VokDevice* device, TDRVREQUEST_MEK* request) {
    tTransactionProgress.phase = vokwire::kPhaseWords;
    if (!isMemoryWrite(request->command)) {
        VOK_ASSERT(false);
    }
    request->status = kStatusOk;
    if (!word_count_fits(request)) {
        return finish_phase(request, kStatusBadArgument);
    }
    if (!send_packets(device, vokwire::kPhaseWords, tag, request->data, word_pair_count(request))) {
        return kStatusTransferFailed;
    }
    return end_phase(device, tag, request);
}

int cmdProtocolMOP5(uint8_t tag, VokDevice* device, TDRVREQUEST_MEK* request) {
    tTransactionProgress.phase = vokwire::kPhaseParameter;
    const uint8_t code = request->command;
    if (!sendsParameters(code)) {
        VOK_ASSERT(false);
    }
    request->status = kStatusOk;
    Packet packetBuffer;
    uint8_t* const packet = packetBuffer.bytes;
    fill_random(packet, kPacketSize);
    packet[vokwire::kPacketPhase] = vokwire::kPhaseParameter;
    packet[vokwire::kPacketTag] = tag;
    if (code == VOK_CMD_SET_PIN) {
        packet[2] = request->newPinLength;
    } else {
        std::memcpy(packet + 2, request->data, 4);
    }
    if (control_transfer(device, kToToken, packet, kPacketSize, 0) != 0) {
        return kStatusTransferFailed;
    }
    Packet replyBuffer{};
    uint8_t* const reply = replyBuffer.bytes;
    if (!read_reply(device, tag, reply) || !echoes_tag(reply, tag)) {
        return kStatusTransferFailed;
    }
    // The token answers a new attribute setting with the block's attributes.
    if (code == VOK_CMD_SET_BLOCK_ATTR && reply[0] == kStatusOk) {
        std::memcpy(request->data, reply + 3, 4);
    }
    return finish_phase(request, reply[0]);
}

int cmdProtocolMOP6(uint8_t tag, VokDevice* device, TDRVREQUEST_MEK* request) {
    tTransactionProgress.phase = vokwire::kPhaseNewPin;
    if (request->command != VOK_CMD_SET_PIN) {
        VOK_ASSERT(false);
    }
    request->status = kStatusOk;
    // The new PIN: all 32 bytes, zero-padded by the builder.
    if (!send_packets(device, vokwire::kPhaseNewPin, tag, request->data, vokwire::kNewPinPackets)) {
        return kStatusTransferFailed;
    }
    return end_phase(device, tag, request);
}

// The phases after 0, 1 and 2, chosen by the command code.
static int run_command_phases(uint8_t tag, VokDevice* device, TDRVREQUEST_MEK* request) {
    const uint8_t code = request->command;
    if (isMemoryRead(code) || isMemoryWrite(code)) {
        int result = cmdProtocolMOP3(tag, device, request);
        if (result == kStatusOk && isMemoryWrite(code)) {
            result = cmdProtocolMOP4(tag, device, request);
        }
        return result;
    }
    if (sendsParameters(code)) {
        int result = cmdProtocolMOP5(tag, device, request);
        if (result == kStatusOk && code == VOK_CMD_SET_PIN) {
            result = cmdProtocolMOP6(tag, device, request);
        }
        return result;
    }
    // Initialise, initialise a block, and codes the library does not know.
    return kStatusOk;
}

static void wait_seconds(unsigned seconds) {
    // A signal handler cutting the wait short must not shorten it.
    while (seconds > 0) {
        seconds = sleep(seconds);  // NOLINT(concurrency-mt-unsafe): thread-safe in glibc
    }
}

// A phase that failed in transport (a failed transfer or a missing echo) left
// the token mid-transaction: bring it back with the reset exchange.
static void recover_from_transport_failure(VokDevice* device, TDRVREQUEST_MEK* request,
                                           uint8_t tag) {
    if (request->command == VOK_CMD_INITIALIZE) {
        // The token stops answering while it initialises itself; a lost
        // transfer then means the command is under way. Give it the time to
        // finish and count the command as completed.
        wait_seconds(kInitializeSettleSeconds);
        request->status = kStatusOk;
    } else {
        request->status = kStatusTransferFailed;
    }
    reset_dongle(device, tag);
}

int cmdProtocolExecute(VokDevice* device, TDRVREQUEST_MEK* request) {
    uint8_t tag = 0;
    const uint8_t code = request->command;

    // Refused before anything is sent: a larger count would move bytes
    // outside the record's data area.
    if ((isMemoryRead(code) || isMemoryWrite(code)) && !word_count_fits(request)) {
        request->status = kStatusBadArgument;
        return kStatusBadArgument;
    }

    // A call that could not take the token fails here, as if the node could
    // not be opened.
    if (vokTokenRefusal() != 0 || vokOpenDevice(device) < 0) {
        return kStatusTransferFailed;
    }
    const bool traced = vokTraceLevel() >= kTraceTransactions;
    const uint64_t startNanos = traced ? vokTraceNowNanos() : 0;
    tTransactionProgress.command = code;
    tTransactionProgress.phase = vokwire::kPhaseReset;
    tTransactionProgress.transfers = 0;
    if (code == VOK_CMD_GET_INFO) {
        // Brings the token to a known state before it is asked who it is;
        // whether the reset worked shows in the exchange that follows.
        if (ioctl(device->fd, USBDEVFS_RESET, 0) != 0) {
            vokTraceSystemError("ioctl USBDEVFS_RESET", device->devicePath, errno);
        } else if (vokCaptureOn()) {
            vokCaptureReset(device->devicePath, device->productId);
        }
    }

    int result = cmdProtocolMOP0(device, request, &tag);
    if (result == kStatusOk && !endsAfterPhase0(code)) {
        result = cmdProtocolMOP1(tag, device, request);
        if (result == kStatusOk) {
            result = cmdProtocolMOP2(tag, device, request);
        }
        if (result == kStatusOk) {
            result = run_command_phases(tag, device, request);
        }
    }

    const int lastPhase = tTransactionProgress.phase;
    // A phase reports a transport failure as 5 with the status still 0; a 5
    // that the token sent itself stands in the status and needs no recovery.
    if (result == kStatusTransferFailed && request->status == kStatusOk) {
        recover_from_transport_failure(device, request, tag);
    }

    if (vokCloseDevice(device) != 0) {
        return kStatusTransferFailed;
    }
    if (traced) {
        vokTraceTransaction({code, device->devicePath, lastPhase, request->status,
                             tTransactionProgress.transfers, startNanos});
    }
    return request->status;
}
