#include "hostDriver.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace simtest {

Host::Host(const std::string& node) { fd_ = open(node.c_str(), O_RDWR | O_CLOEXEC); }

Host::~Host() {
    if (fd_ >= 0) close(fd_);
}

TransferResult Host::out(const std::vector<uint8_t>& packet, uint8_t requestType) {
    std::vector<uint8_t> copy = packet;
    usbdevfs_ctrltransfer setup{};
    setup.bRequestType = requestType;
    setup.wLength = static_cast<uint16_t>(copy.size());
    setup.timeout = 6000;
    setup.data = copy.data();
    const int result = ioctl(fd_, USBDEVFS_CONTROL, &setup);
    return {result, result < 0 ? errno : 0};
}

TransferResult Host::in(std::vector<uint8_t>& reply, uint16_t length, uint16_t wValue,
                        uint8_t requestType) {
    reply.assign(length, 0xAA);
    usbdevfs_ctrltransfer setup{};
    setup.bRequestType = requestType;
    setup.wValue = wValue;
    setup.wLength = length;
    setup.timeout = 6000;
    setup.data = reply.data();
    const int result = ioctl(fd_, USBDEVFS_CONTROL, &setup);
    return {result, result < 0 ? errno : 0};
}

TransferResult Host::reset() {
    const int result = ioctl(fd_, USBDEVFS_RESET, 0);
    return {result, result < 0 ? errno : 0};
}

namespace {

std::vector<uint8_t> packet(uint8_t phase, uint8_t tag, const uint8_t* payload) {
    std::vector<uint8_t> bytes(8, 0xEE);  // filler
    bytes[0] = phase;
    bytes[1] = tag;
    if (payload) std::memcpy(bytes.data() + 2, payload, 4);
    return bytes;
}

bool isLongReply(uint8_t code) {
    return code == 0x30 || code == 0x38 || code == 0x3A || code == 0x3D;
}

// Sends `count` packets of phase `phase` carrying `source` four bytes at a
// time, then reads the reply; false on a transport failure.
bool sendPhase(Host& host, Outcome& outcome, uint8_t phase, const uint8_t* source, int count,
               std::vector<uint8_t>& reply) {
    for (int i = 0; i < count; ++i) {
        TransferResult sent = host.out(packet(phase, outcome.tag, source + 4 * i));
        if (sent.result != 8) {
            outcome.transportError = sent.result < 0 ? sent.error : EIO;
            return false;
        }
    }
    TransferResult got = host.in(reply, 8, outcome.tag);
    if (got.result != 8) {
        outcome.transportError = got.result < 0 ? got.error : EIO;
        return false;
    }
    if (reply[2] != outcome.tag) {
        outcome.transportError = EBADMSG;
        return false;
    }
    outcome.status = reply[0];
    return true;
}

}  // namespace

Outcome runCommand(Host& host, const Command& command) {
    Outcome outcome;
    std::vector<uint8_t> reply;
    const uint8_t phase0[4] = {command.blockByte, 0xEE, 0xEE, 0xEE};
    std::vector<uint8_t> first = packet(0, command.code, phase0);
    if (TransferResult r = host.out(first); r.result != 8) {
        outcome.transportError = r.result < 0 ? r.error : EIO;
        return outcome;
    }
    const uint16_t replyLength = isLongReply(command.code) ? 16 : 8;
    if (TransferResult r = host.in(reply, replyLength, 0); r.result != replyLength) {
        outcome.transportError = r.result < 0 ? r.error : EIO;
        return outcome;
    }
    outcome.phase0Reply = reply;
    outcome.status = reply[0];
    if (outcome.status != 0) return outcome;
    outcome.tag = reply[2];
    if (isLongReply(command.code)) {
        outcome.data.assign(reply.begin() + 8, reply.end());
        return outcome;
    }
    uint8_t pin[32] = {};
    std::memcpy(pin, command.pin.data(), std::min<size_t>(command.pin.size(), 32));
    if (!sendPhase(host, outcome, 1, pin, 8, reply)) return outcome;
    outcome.pinPhaseReply = reply[1];
    if (outcome.status != 0) return outcome;
    uint8_t tokenId[8] = {};
    std::memcpy(tokenId, command.tokenId.data(), std::min<size_t>(command.tokenId.size(), 8));
    if (!sendPhase(host, outcome, 2, tokenId, 2, reply) || outcome.status != 0) return outcome;

    const uint8_t code = command.code;
    if (code == 0x31 || code == 0x32 || code == 0x34 || code == 0x35) {
        const uint8_t header[4] = {
            static_cast<uint8_t>(command.wordOffset), static_cast<uint8_t>(command.wordOffset >> 8),
            static_cast<uint8_t>(command.wordCount), static_cast<uint8_t>(command.wordCount >> 8)};
        if (TransferResult r = host.out(packet(3, outcome.tag, header)); r.result != 8) {
            outcome.transportError = r.result < 0 ? r.error : EIO;
            return outcome;
        }
        const int pairs = (command.wordCount + 1) / 2;
        if (code == 0x31 || code == 0x34) {
            if (command.wordCount == 0) {
                outcome.status = 3;
                return outcome;
            }
            for (int k = 0; k < pairs; ++k) {
                TransferResult r = host.in(reply, 8, outcome.tag);
                if (r.result != 8 || reply[2] != outcome.tag) {
                    outcome.transportError = r.result < 0 ? r.error : EBADMSG;
                    return outcome;
                }
                outcome.status = reply[0];
                if (reply[0] != 0) return outcome;
                outcome.data.insert(outcome.data.end(), reply.begin() + 3, reply.begin() + 7);
            }
            return outcome;
        }
        std::vector<uint8_t> words = command.data;
        words.resize(static_cast<size_t>(pairs) * 4 + 4, 0);
        sendPhase(host, outcome, 4, words.data(), pairs, reply);
        return outcome;
    }
    if (code == 0x36 || code == 0x37 || code == 0x39 || code == 0x3B || code == 0x3C ||
        code == 0x3E) {
        uint8_t parameters[4] = {};
        if (code == 0x36) {
            parameters[0] = command.newPinLength;
        } else {
            std::memcpy(parameters, command.data.data(), std::min<size_t>(command.data.size(), 4));
        }
        if (!sendPhase(host, outcome, 5, parameters, 1, reply)) return outcome;
        if (outcome.status != 0) return outcome;
        outcome.data.assign(reply.begin() + 3, reply.begin() + 7);
        if (code == 0x36) {
            uint8_t newPin[32] = {};
            std::memcpy(newPin, command.data.data(), std::min<size_t>(command.data.size(), 32));
            sendPhase(host, outcome, 6, newPin, 8, reply);
        }
    }
    return outcome;
}

Outcome runCommand(const std::string& node, const Command& command) {
    Host host(node);
    return runCommand(host, command);
}

Command readMemory(uint16_t wordOffset, uint16_t wordCount, const std::string& pin) {
    Command command;
    command.code = 0x31;
    command.pin = pin;
    command.wordOffset = wordOffset;
    command.wordCount = wordCount;
    return command;
}

Command writeMemory(uint16_t wordOffset, const std::vector<uint8_t>& bytes,
                    const std::string& pin) {
    Command command;
    command.code = 0x32;
    command.pin = pin;
    command.wordOffset = wordOffset;
    command.wordCount = static_cast<uint16_t>(bytes.size() / 2);
    command.data = bytes;
    return command;
}

Command blockCommand(uint8_t code, unsigned block, const std::string& pin,
                     std::vector<uint8_t> data) {
    Command command;
    command.code = code;
    command.blockByte = static_cast<uint8_t>(block);
    command.pin = pin;
    command.data = std::move(data);
    return command;
}

Command setPin(unsigned kind, unsigned block, const std::string& pin, const std::string& newPin) {
    Command command =
        blockCommand(0x36, block, pin, std::vector<uint8_t>(newPin.begin(), newPin.end()));
    command.blockByte = static_cast<uint8_t>(block | (kind << 7));
    command.newPinLength = static_cast<uint8_t>(newPin.size());
    return command;
}

}  // namespace simtest
