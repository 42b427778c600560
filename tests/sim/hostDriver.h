// A small host for tests of the virtual token: it speaks the token protocol
// packet by packet through real ioctl calls on a node, the way the library
// does, so that tests can run whole transactions or break them on purpose.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace simtest {

// One control transfer's outcome: the ioctl result and errno.
struct TransferResult {
    int result = 0;
    int error = 0;
};

// An open node; every call is one ioctl on it.
class Host {
  public:
    explicit Host(const std::string& node);
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;
    int fd() const { return fd_; }
    TransferResult out(const std::vector<uint8_t>& packet, uint8_t requestType = 0x42);
    TransferResult in(std::vector<uint8_t>& reply, uint16_t length, uint16_t wValue,
                      uint8_t requestType = 0xC2);
    TransferResult reset();

  private:
    int fd_ = -1;
};

// The request of one command, as a host would fill it.
struct Command {
    uint8_t code = 0x30;
    uint8_t blockByte = 0;  // block (bits 0-6) and PIN kind (bit 7)
    std::string pin;
    std::vector<uint8_t> tokenId = {0x56, 0x4F, 0x4B, 0, 0, 0, 0, 1};
    uint16_t wordOffset = 0;
    uint16_t wordCount = 0;
    std::vector<uint8_t> data;  // words to write, or parameters, or the new PIN
    uint8_t newPinLength = 0;
};

// What the transaction gave back. `transportError` is the errno of the first
// failed transfer (0 when every transfer succeeded).
struct Outcome {
    uint8_t status = 0xEE;
    uint8_t tag = 0;
    std::vector<uint8_t> phase0Reply;
    uint8_t pinPhaseReply = 0;
    std::vector<uint8_t> data;  // words read, or bytes 3-6 of the phase-5 reply
    int transportError = 0;
};

// Runs the phases of `command` on `host`, stopping at the first non-zero
// status or failed transfer, as the library's engine does.
Outcome runCommand(Host& host, const Command& command);
Outcome runCommand(const std::string& node, const Command& command);

// Shorthands for common commands on the default token identity.
Command readMemory(uint16_t wordOffset, uint16_t wordCount, const std::string& pin = "");
Command writeMemory(uint16_t wordOffset, const std::vector<uint8_t>& bytes,
                    const std::string& pin = "");
Command blockCommand(uint8_t code, unsigned block, const std::string& pin = "",
                     std::vector<uint8_t> data = {});
Command setPin(unsigned kind, unsigned block, const std::string& pin, const std::string& newPin);

}  // namespace simtest
