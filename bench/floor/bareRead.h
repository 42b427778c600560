// The floor of a memory read: the control transfers of one read transaction
// issued from a flat loop with fixed packets (open the node, phase 0, the
// PIN "1234", the token identifier, the memory header, one reply per word
// pair, close). No lock, no handle, no check beyond the status bytes: what
// no library can do without.
#pragma once

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "vok/vok.h"

namespace vokbench {

// One control transfer, as plain as it gets.
inline bool bareTransfer(int fd, uint8_t requestType, uint8_t* bytes, uint16_t length,
                         uint16_t value) {
    usbdevfs_ctrltransfer setup{};
    setup.bRequestType = requestType;
    setup.wValue = value;
    setup.wLength = length;
    setup.timeout = 6000;
    setup.data = bytes;
    return ioctl(fd, USBDEVFS_CONTROL, &setup) == length;
}

// Reads `words` words from word 0 of the token at `node` into `data`.
inline bool bareRead(const std::string& node, const uint8_t (&tokenId)[8], uint16_t words,
                     uint8_t* data) {
    const int fd = open(node.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    uint8_t packet[8] = {0x00, VOK_CMD_READ};
    uint8_t reply[8];
    bool ok = bareTransfer(fd, 0x42, packet, 8, 0) && bareTransfer(fd, 0xC2, reply, 8, 0) &&
              reply[0] == 0;
    const uint8_t tag = reply[2];
    const uint8_t pin[32] = {'1', '2', '3', '4'};
    packet[0] = 0x01;
    packet[1] = tag;
    for (int i = 0; ok && i < 8; ++i) {
        std::memcpy(packet + 2, pin + 4 * i, 4);
        ok = bareTransfer(fd, 0x42, packet, 8, 0);
    }
    ok = ok && bareTransfer(fd, 0xC2, reply, 8, tag) && reply[0] == 0;
    packet[0] = 0x02;
    for (int i = 0; ok && i < 2; ++i) {
        std::memcpy(packet + 2, tokenId + 4 * i, 4);
        ok = bareTransfer(fd, 0x42, packet, 8, 0);
    }
    ok = ok && bareTransfer(fd, 0xC2, reply, 8, tag) && reply[0] == 0;
    const uint8_t header[8] = {
        0x03, tag, 0, 0, static_cast<uint8_t>(words), static_cast<uint8_t>(words >> 8)};
    std::memcpy(packet, header, sizeof packet);
    ok = ok && bareTransfer(fd, 0x42, packet, 8, 0);
    for (int k = 0; ok && k < words; k += 2) {
        ok = bareTransfer(fd, 0xC2, reply, 8, tag) && reply[0] == 0 && reply[2] == tag;
        std::memcpy(data + 2 * k, reply + 3, 4);
    }
    return close(fd) == 0 && ok;
}

}  // namespace vokbench
