// A virtual token in a usbfs tree of its own, with a device record for its
// node: what tests of the layers below the public interface drive.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "discovery/deviceList.h"
#include "support/tempDir.h"
#include "voksim/voksim.h"

namespace testsupport {

// The token is bus 1, device 2 of the tree; the record is made the way the
// scan makes one (product ID from the identity, index 0). Throws
// std::runtime_error when either cannot be made.
class TokenDevice {
  public:
    explicit TokenDevice(const voksim::Identity& identity = voksim::Identity{},
                         std::string_view prefix = "vok-token-")
        : root_(prefix), node_(voksim::createToken(root_.path(), 1, 2, identity)) {
        if (node_.empty()) throw std::runtime_error("cannot create a token in " + root_.path());
        device_ = vokCreateDevice(identity.idProduct, 0, node_.c_str(), node_.c_str());
        if (device_ == nullptr) throw std::runtime_error("no device record for " + node_);
    }
    ~TokenDevice() { vokFreeDevice(device_); }
    TokenDevice(const TokenDevice&) = delete;
    TokenDevice& operator=(const TokenDevice&) = delete;

    VokDevice* device() const { return device_; }
    const std::string& node() const { return node_; }
    const std::string& root() const { return root_.path(); }

  private:
    TempDir root_;
    std::string node_;
    VokDevice* device_ = nullptr;
};

}  // namespace testsupport
