// Shared pieces of the public-interface tests: a private virtual usbfs tree
// per test, handles that close themselves, and readers of the token's log.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/tokenMemory.h"
#include "support/usbTree.h"
#include "vok/vok.h"
#include "voksim/voksim.h"

namespace voktest {

// A handle number that vokOpen never hands out.
constexpr VokHandle kNeverIssued = 0xFFFFFFFEu;

// A virtual usbfs tree and a lock directory of their own, both under /tmp,
// named in USB_DEVFS_PATH and VOK_IPC_NAME while the tree exists.
class TokenTree {
  public:
    // Adds a token node as bus 1, device `device`; returns the node's path.
    std::string addToken(unsigned device, const voksim::Identity& identity = voksim::Identity{});
    const std::string& root() const { return dirs_.usb.path(); }
    const std::string& lockDirectory() const { return dirs_.ipc.path(); }

  private:
    testsupport::PrivateUsbTree dirs_{"vok-api-"};
};

// Closes its handle when it goes out of scope.
class ScopedHandle {
  public:
    explicit ScopedHandle(VokHandle handle) : handle_(handle) {}
    ~ScopedHandle() {
        if (handle_ != VOK_INVALID_HANDLE) vokClose(handle_);
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    VokHandle get() const { return handle_; }
    // Closes now; returns vokClose's status.
    uint32_t close() {
        const uint32_t status = vokClose(handle_);
        handle_ = VOK_INVALID_HANDLE;
        return status;
    }

  private:
    VokHandle handle_;
};

// One transaction's opening packet as the token received it.
struct Opening {
    uint8_t command;
    uint8_t blockByte;  // blockId in bits 0-6, pinType in bit 7
    bool operator==(const Opening&) const = default;
};

// The opening packets the token received since its log was last cleared, in
// order: one per transaction the library started.
std::vector<Opening> openings(const std::string& node);

// The 4-byte payloads (packet bytes 2-5) of the packets of phase `phase`
// that the token received since its log was last cleared, in order.
std::vector<std::vector<uint8_t>> phasePayloads(const std::string& node, uint8_t phase);

using testsupport::setTokenMemory;
using testsupport::tokenMemory;

// Makes every transaction end with `status` in the reply that ends phase 0.
void injectTokenStatus(const std::string& node, uint8_t status);
// Makes the next control transfer fail (a stall).
void injectTransferFailure(const std::string& node);

// A test with one token (bus 1, device 2) and a handle open on it; the
// token's log starts empty and response_ is filled with 0x5A.
class OpenTokenTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // The token the test runs on.
    virtual voksim::Identity identity() const { return voksim::Identity{}; }
    void openToken(const voksim::Identity& identity);

    TokenTree tree_;
    std::string node_;
    VokHandle handle_ = VOK_INVALID_HANDLE;
    VokIdResponse response_{};
};

}  // namespace voktest
