// The virtual token's control interface, for tests, benchmarks and tools.
//
// A virtual usbfs tree is a directory laid out like usbfs: bus folders
// ("001") holding device nodes ("002"). A node is a regular file that starts
// with a USB device descriptor, so the library's own open/read work
// unchanged. The library's ioctl calls on a token node reach the token model
// through libvoksim.so, which interposes ioctl (LD_PRELOAD, or linked into a
// test). The token's state lives in a hidden file beside its node, so it
// persists between runs and is shared by every process that uses the tree.
#pragma once

#include <cerrno>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/tokenUsbId.h"
#include "voksim/tokenModel.h"

namespace voksim {

// How the token identifies itself; fixed when it is created.
struct Identity {
    uint8_t tokenId[8] = {0x56, 0x4F, 0x4B, 0x00, 0x00, 0x00, 0x00, 0x01};
    bool flagA = true;
    bool flagB = false;
    uint8_t versionNibbles = 0x12;  // version 1.2
    uint8_t memoryModel = 2;        // 0, 1: 16-byte units; 2: 256-byte units
    uint8_t memoryUnits = 16;       // 16 x 256 = 4096 bytes
    uint8_t protocolLevel = 22;     // above 21: PINs kept inside the token
    uint8_t infoByte = 0;
    uint16_t idVendor = kVokVendorId;
    uint16_t idProduct = kVokProductId;
    uint16_t bcdDevice = 0x0100;
};

// Faults injected into a token's transfers. Setting faults restarts the
// transfer count: transfer 1 is the next control transfer made on the token.
struct Faults {
    uint32_t failTransfer = 0;      // fail the Nth transfer (0: none)
    int failErrno = EPIPE;          // EPIPE (stall), ETIMEDOUT, EPROTO, ENODEV, ...
    bool failAll = false;           // fail every transfer from the Nth on
    uint32_t shortTransfer = 0;     // the Nth transfer moves one byte less
    uint32_t wrongTagTransfer = 0;  // the Nth transfer's reply echoes a wrong tag
    int statusPhase = -1;           // the reply that ends this phase (0..6) ...
    uint8_t statusValue = 0;        // ... carries this status, in every transaction
    uint32_t statusTransfer = 0;    // the Nth transfer, if from the token, replies statusValue
                                    // (with the tag echo) and ends its transaction
    int fixedTag = -1;              // hand out this transaction tag (0..255)
    bool realTimeouts = false;      // a time-out waits out the transfer's time-out
    uint32_t latencyMicros = 0;     // added to every control transfer
};

// One entry of a token's transfer log.
struct LogEntry {
    enum Kind : uint8_t { kControl = 0, kReset = 1 };
    Kind kind = kControl;
    uint8_t bRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
    uint32_t timeout = 0;
    int32_t result = 0;         // bytes transferred, or -1
    int32_t error = 0;          // errno when result is -1
    std::vector<uint8_t> data;  // bytes sent, or bytes returned
    uint32_t pid = 0;           // process that made the transfer
    int32_t fd = -1;            // its descriptor
    bool faulted = false;       // an injected fault changed the transfer
};

// Creates ROOT/BBB/DDD (three digits each) as a token node with fresh state
// and an empty log, and returns the node's path (empty on failure: bus or
// device above 999, or a file that cannot be written); directories are made
// as needed. A token already there is replaced.
std::string createToken(const std::string& root, unsigned bus, unsigned device,
                        const Identity& identity = Identity{});
// Creates a node for a device that is not a token.
std::string createForeignDevice(const std::string& root, unsigned bus, unsigned device,
                                uint16_t idVendor, uint16_t idProduct);

bool setFaults(const std::string& node, const Faults& faults);
bool clearFaults(const std::string& node);
std::optional<Faults> getFaults(const std::string& node);

// Unplug: the node disappears (open fails with ENOENT, an open descriptor
// gets ENODEV); replug brings it back with its state.
bool unplug(const std::string& node);
bool replug(const std::string& node);

// A token runs one transaction at a time, as on a bus: a phase-0 packet or a
// port reset from any descriptor ends the open one. `separate` keeps one
// transaction per descriptor instead (for tests of the model's own sharing);
// changing the mode ends every open transaction.
bool setSeparateTransactions(const std::string& node, bool separate);

std::vector<LogEntry> readLog(const std::string& node);
bool clearLog(const std::string& node);
bool setLogging(const std::string& node, bool enabled);
// A readable transcript of the log; PIN bytes masked unless showPins.
std::string transcript(const std::string& node, bool showPins = false);

// The paths of a token's hidden state file and transfer log.
std::string statePathOf(const std::string& node);
std::string logPathOf(const std::string& node);
// Whether `path` is a virtual token node (a device descriptor and the marker).
bool isTokenNode(const std::string& path);
// The identity in the form the token record keeps it.
TokenIdentity toTokenIdentity(const Identity& identity);

// The token's whole state (see tokenModel.h), read or changed under the
// token's lock.
std::optional<TokenState> readState(const std::string& node);
// `change` runs with the token's lock held: it must not call back into
// this interface for the same token.
bool modifyState(const std::string& node, const std::function<void(TokenState&)>& change);

}  // namespace voksim
