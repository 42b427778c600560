// Fuzz target: the token model must survive any sequence of host transfers.
//
// The input is read as a script of transfers, each:
//   byte 0     bits 0-1 kind (0 out, 1 in, 2 port reset), bits 2-4 opener,
//              bits 5-7 memory model/level variant of the token (first entry only)
//   byte 1     wValue
//   byte 2     wLength (0..255; the buffer is always 256 bytes)
//   bytes 3..  for an out transfer, wLength bytes of data (as far as the input goes)
// The model is checked for staying inside its state: sanitizers catch any
// out-of-bounds access, and the result of each transfer must be a byte count
// within wLength or a negated errno.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/tokenUsbId.h"
#include "voksim/tokenModel.h"

namespace {

constexpr uint8_t kTag = 0x5A;

voksim::TokenIdentity identity_for(uint8_t variant) {
    voksim::TokenIdentity identity{};
    const uint8_t id[8] = {0x56, 0x4F, 0x4B, 0, 0, 0, 0, 1};
    std::memcpy(identity.tokenId, id, sizeof id);
    identity.flagA = 1;
    identity.versionNibbles = 0x12;
    identity.memoryModel = variant & 3;               // 0..3, 3: unknown model
    identity.memoryUnits = (variant & 4) ? 255 : 16;  // the largest memory, or a small one
    identity.protocolLevel = (variant & 1) ? 21 : 22;
    identity.idVendor = kVokVendorId;
    identity.idProduct = kVokProductId;
    identity.bcdDevice = 0x0100;
    return identity;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size == 0) return 0;
    auto state = std::make_unique<voksim::TokenState>();
    voksim::initTokenState(*state, identity_for(input[0] >> 5));
    // A fixed transaction tag lets inputs reach the phases past phase 0.
    state->faults.fixedTag = kTag;
    size_t at = 0;
    int64_t now = 1000;
    while (at + 3 <= size) {
        const uint8_t control = input[at];
        const uint8_t value = input[at + 1];
        const uint8_t length = input[at + 2];
        at += 3;
        const uint64_t opener = (control >> 2) & 7;
        const unsigned kind = control & 3;
        if (kind >= 2) {
            voksim::modelPortReset(*state, opener);
            continue;
        }
        uint8_t buffer[256] = {};
        voksim::ControlSetup setup{};
        setup.bRequestType = kind == 0 ? voksim::kRequestTypeOut : voksim::kRequestTypeIn;
        setup.wValue = value;
        setup.wLength = length;
        if (kind == 0) {
            const size_t take = size - at < length ? size - at : length;
            std::memcpy(buffer, input + at, take);
            at += take;
        }
        const int32_t result = voksim::modelControlTransfer(*state, opener, setup, buffer, now++);
        if (result > static_cast<int32_t>(length)) std::abort();
    }
    return 0;
}
