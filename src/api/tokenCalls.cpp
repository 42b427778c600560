// Public interface: the calls that open a token and act on it through its
// handle (open, info, raw command, close; memory; blocks, PINs and security),
// each in the pattern that api/deviceCall.h describes and carries out.
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "api/deviceCall.h"
#include "api/listedDevice.h"
#include "api/publicCall.h"
#include "commands/memoryCommands.h"
#include "commands/tokenCommands.h"
#include "common/libraryStatus.h"
#include "common/tokenLimits.h"
#include "diagnostics/trace.h"
#include "discovery/deviceList.h"
#include "handles/handleManager.h"
#include "vok/vok.h"

namespace {

constexpr uint16_t kNoVendorId = 0xFFFF;

// Tokens up to this protocol level keep their main PIN in plain memory: the
// PIN area and, right after it, the PIN control word.
constexpr uint8_t kLastMemoryPinLevel = 21;

}  // namespace

static bool is_block(BLOCK_ID block) {
    const int32_t value = block;
    return value >= VOK_BLOCK_1 && value <= VOK_BLOCK_4;
}

static bool is_new_pin_length(uint32_t newPinLength) {
    return newPinLength >= 1 && newPinLength <= kVokMaxPinLength;
}

static uint32_t as_status(int builderStatus) { return static_cast<uint32_t>(builderStatus); }

// ---- Open, info, raw command, close ---------------------------------------

VokHandle vokOpen(uint8_t index) {
    const PublicCall call;
    VokDeviceList* list = vokCreateDeviceList();
    VokHandle handle = VOK_INVALID_HANDLE;
    for (VokDevice* device = vokGetFirstDevice(list); device != nullptr;
         device = vokGetNextDevice(list)) {
        // A record whose info command fails is passed over.
        if (device->index != static_cast<uint32_t>(index)) continue;
        handle = vokOpenListedDevice(device);
        if (handle != VOK_INVALID_HANDLE) break;
    }
    vokFreeDeviceList(list);
    if (handle != VOK_INVALID_HANDLE) {
        vokUnlockHandle(handle);
    } else if (vokTraceLastSystemError() == 0) {
        vokTraceSystemError("vokOpen", nullptr, ENODEV);  // no token at that index
    }
    return handle;
}

uint32_t vokGetInfo(VokHandle handle, void* info, uint32_t length) {
    const PublicCall call;
    if (info == nullptr || length < sizeof(VokIdInfo)) return VOK_STATUS_BAD_ARGUMENT;
    return with_handle(handle, [&](VokDevice* device) {
        const int status = read_token_info(device);
        // After a failed refresh the caller still gets the information of the
        // last successful info command.
        std::memcpy(info, &device->info, sizeof(VokIdInfo));
        return as_status(status);
    });
}

bool vokCommand(VokHandle handle, TDRVREQUEST_MEK* request, uint32_t length) {
    const PublicCall call;
    // A length beyond the record is refused here, before the lookup, like
    // every other bad argument: the record stays untouched, also its status.
    if (request == nullptr || length < VOK_REQUEST_HEADER_SIZE ||
        length > sizeof(TDRVREQUEST_MEK)) {
        return false;
    }
    // A handle that is not open is reported in the record; a token that
    // cannot be had leaves the record as a node that cannot be opened does.
    bool ran = false;
    const uint32_t status = with_device(handle, [&](VokDevice* device) {
        ran = true;
        return as_status(vokIdCommand(device, request, length));
    });
    if (!ran && status == VOK_STATUS_BAD_HANDLE) request->status = VOK_STATUS_BAD_HANDLE;
    return status == VOK_STATUS_OK;
}

uint32_t vokClose(VokHandle handle) {
    const PublicCall call;
    return vokFreeHandle(handle, kDeviceHandle) ? VOK_STATUS_OK : VOK_STATUS_BAD_HANDLE;
}

// ---- Memory ----------------------------------------------------------------

uint32_t vokRead(VokHandle handle, const void* pin, uint32_t pinLength, uint32_t offset,
                 void* buffer, uint32_t length, VokIdResponse* response) {
    const PublicCall call;
    if (buffer == nullptr || length == 0) return VOK_STATUS_BAD_ARGUMENT;
    return with_device(handle, [&](VokDevice* device) {
        return as_status(vokIdReadCmd(device, pin, pinLength, offset, buffer, length, response));
    });
}

uint32_t vokWrite(VokHandle handle, const void* pin, uint32_t pinLength, uint32_t offset,
                  const void* buffer, uint32_t length, VokIdResponse* response) {
    const PublicCall call;
    if (buffer == nullptr || length == 0) return VOK_STATUS_BAD_ARGUMENT;
    return with_device(handle, [&](VokDevice* device) {
        return as_status(vokIdWriteCmd(device, pin, pinLength, offset, buffer, length, response));
    });
}

uint32_t vokReadEx(VokHandle handle, BLOCK_ID block, const void* pin, uint32_t pinLength,
                   uint32_t offset, void* buffer, uint32_t length, VokIdResponse* response) {
    const PublicCall call;
    if (buffer == nullptr || length == 0 || !is_block(block)) return VOK_STATUS_BAD_ARGUMENT;
    return with_device(handle, [&](VokDevice* device) {
        return as_status(
            vokIdReadExCmd(device, block, pin, pinLength, offset, buffer, length, response));
    });
}

uint32_t vokWriteEx(VokHandle handle, BLOCK_ID block, const void* pin, uint32_t pinLength,
                    uint32_t offset, const void* buffer, uint32_t length, VokIdResponse* response) {
    const PublicCall call;
    if (buffer == nullptr || length == 0 || !is_block(block)) return VOK_STATUS_BAD_ARGUMENT;
    return with_device(handle, [&](VokDevice* device) {
        return as_status(
            vokIdWriteExCmd(device, block, pin, pinLength, offset, buffer, length, response));
    });
}

// ---- Blocks, PINs and security parameters ---------------------------------

uint32_t vokGetVendorId(VokHandle handle, BLOCK_ID block, uint16_t* vendorId,
                        VokIdResponse* response) {
    const PublicCall call;
    if (vendorId == nullptr || !is_block(block)) return VOK_STATUS_BAD_ARGUMENT;
    return with_device(handle, [&](VokDevice* device) {
        return as_status(vokIdGetVendorIdCmd(device, block, vendorId, response));
    });
}

uint32_t vokSetVendorId(VokHandle handle, BLOCK_ID block, const void* pin, uint32_t pinLength,
                        uint16_t vendorId, VokIdResponse* response) {
    const PublicCall call;
    if (vendorId == kNoVendorId || !is_block(block)) return VOK_STATUS_BAD_ARGUMENT;
    return with_device(handle, [&](VokDevice* device) {
        return as_status(vokIdSetVendorIdCmd(device, block, pin, pinLength, vendorId, response));
    });
}

uint32_t vokGetBlockAttr(VokHandle handle, BLOCK_ID block, uint16_t* attributes,
                         VokIdResponse* response) {
    const PublicCall call;
    if (attributes == nullptr || !is_block(block)) return VOK_STATUS_BAD_ARGUMENT;
    return with_device(handle, [&](VokDevice* device) {
        return as_status(vokIdGetBlockAttrCmd(device, block, attributes, response));
    });
}

uint32_t vokSetBlockAttr(VokHandle handle, BLOCK_ID block, const void* pin, uint32_t pinLength,
                         RW_PERMISSIONS permissions, uint16_t* attributes,
                         VokIdResponse* response) {
    const PublicCall call;
    if (!is_block(block)) return VOK_STATUS_BAD_ARGUMENT;
    return with_device(handle, [&](VokDevice* device) {
        return as_status(
            vokIdSetBlockAttrCmd(device, block, pin, pinLength, permissions, attributes, response));
    });
}

uint32_t vokLockBlock(VokHandle handle, BLOCK_ID block, const void* pin, uint32_t pinLength,
                      ACCESS access, VokIdResponse* response) {
    const PublicCall call;
    const int32_t accessValue = access;
    if (!is_block(block) ||
        (accessValue != VOK_ACCESS_UNLOCKED && accessValue != VOK_ACCESS_LOCKED)) {
        return VOK_STATUS_BAD_ARGUMENT;
    }
    return with_device(handle, [&](VokDevice* device) {
        return as_status(vokLockBlockCmd(device, block, pin, pinLength, access, response));
    });
}

uint32_t vokSetPin(VokHandle handle, TYPE_PIN pinType, BLOCK_ID block, const void* pin,
                   uint32_t pinLength, const void* newPin, uint32_t newPinLength,
                   VokIdResponse* response) {
    const PublicCall call;
    // Only an upper bound on the block: 0 and negative blocks reach the token
    // (as their low 7 bits), which answers for them itself.
    if (newPin == nullptr || !is_new_pin_length(newPinLength) ||
        static_cast<int32_t>(block) > VOK_BLOCK_4) {
        return VOK_STATUS_BAD_ARGUMENT;
    }
    return with_device(handle, [&](VokDevice* device) {
        return as_status(
            vokIdSetPinCmd(device, pinType, block, pin, pinLength, newPin, newPinLength, response));
    });
}

uint32_t vokSetBlockPinUse(VokHandle handle, BLOCK_ID block, const void* pin, uint32_t pinLength,
                           PIN_USE pinUse, PIN_SET_PERMISSIONS pinSetPermissions,
                           VokIdResponse* response) {
    const PublicCall call;
    if (!is_block(block)) return VOK_STATUS_BAD_ARGUMENT;
    return with_device(handle, [&](VokDevice* device) {
        return as_status(vokIdSetBlockPinUseCmd(device, block, pin, pinLength, pinUse,
                                                pinSetPermissions, response));
    });
}

uint32_t vokSetSecParameters(VokHandle handle, const void* pin, uint32_t pinLength,
                             uint8_t secParameter1, uint8_t secParameter2, uint8_t secParameter3,
                             uint8_t secParameter4, VokIdResponse* response) {
    const PublicCall call;
    const uint8_t parameters[4] = {secParameter1, secParameter2, secParameter3, secParameter4};
    if (!vokSecurityParametersInRange(parameters)) return VOK_STATUS_BAD_ARGUMENT;
    return with_device(handle, [&](VokDevice* device) {
        return as_status(vokIdSetSecParametersCmd(device, pin, pinLength, secParameter1,
                                                  secParameter2, secParameter3, secParameter4,
                                                  response));
    });
}

uint32_t vokGetSecParameters(VokHandle handle, uint8_t* secParameter1, uint8_t* secParameter2,
                             uint8_t* secParameter3, uint8_t* secParameter4,
                             VokIdResponse* response) {
    const PublicCall call;
    return with_device(handle, [&](VokDevice* device) {
        return as_status(vokIdGetSecParametersCmd(device, secParameter1, secParameter2,
                                                  secParameter3, secParameter4, response));
    });
}

// Installs the first PIN of a token that keeps it in memory: the PIN bytes,
// then the control word (bit 0 PIN use, bits 1 and up the PIN length), low
// byte first. Both writes go without a PIN: the token has just been
// initialised.
static int write_memory_pin(VokDevice* device, const void* newPin, uint32_t newPinLength,
                            bool pinUse, VokIdResponse* response) {
    int status =
        vokIdWriteCmd(device, nullptr, 0, device->info.pinAddress, newPin, newPinLength, response);
    if (status != 0) return status;
    const auto controlWord = static_cast<uint16_t>(newPinLength * 2 + (pinUse ? 1 : 0));
    const std::array<uint8_t, 2> controlBytes{static_cast<uint8_t>(controlWord & 0xFF),
                                              static_cast<uint8_t>(controlWord >> 8)};
    return vokIdWriteCmd(device, nullptr, 0, device->info.pinControlAddress, controlBytes.data(),
                         controlBytes.size(), response);
}

// Installs the first PIN of a token that keeps it inside: block 1's user PIN,
// then block 1's PIN use.
static int set_token_pin(VokDevice* device, const void* newPin, uint32_t newPinLength, bool pinUse,
                         VokIdResponse* response) {
    int status = vokIdSetPinCmd(device, VOK_PIN_USER, VOK_BLOCK_1, nullptr, 0, newPin, newPinLength,
                                response);
    if (status != 0) return status;
    return vokIdSetBlockPinUseCmd(device, VOK_BLOCK_1, nullptr, 0,
                                  pinUse ? VOK_PIN_USE_ON : VOK_PIN_USE_OFF, VOK_PIN_SET_BY_USER,
                                  response);
}

uint32_t vokInitialize(VokHandle handle, const void* pin, uint32_t pinLength, const void* newPin,
                       uint32_t newPinLength, bool pinUse, VokIdResponse* response) {
    const PublicCall call;
    if (newPin != nullptr ? !is_new_pin_length(newPinLength) : pinUse)
        return VOK_STATUS_BAD_ARGUMENT;
    return with_device(handle, [&](VokDevice* device) {
        int status = vokIdInitializeCmd(device, pin, pinLength, response);
        if (status != 0 || newPin == nullptr) return as_status(status);
        // The protocol level is the one of the last successful info command
        // (the open, or a later vokGetInfo).
        if (device->info.protocolLevel > kLastMemoryPinLevel) {
            status = set_token_pin(device, newPin, newPinLength, pinUse, response);
        } else {
            status = write_memory_pin(device, newPin, newPinLength, pinUse, response);
        }
        return as_status(status);
    });
}

uint32_t vokInitializeBlock(VokHandle handle, TYPE_PIN pinType, BLOCK_ID block, const void* pin,
                            uint32_t pinLength, const void* newPin, uint32_t newPinLength,
                            uint16_t vendorId, bool provision, VokIdResponse* response) {
    const PublicCall call;
    if (newPin != nullptr && !is_new_pin_length(newPinLength)) return VOK_STATUS_BAD_ARGUMENT;
    if (provision && (newPin == nullptr || vendorId == kNoVendorId)) return VOK_STATUS_BAD_ARGUMENT;
    // The block is not tested before the sequence: the token answers for the
    // first three steps itself, and the PIN-use step refuses a block outside
    // 1 to 4 as vokSetBlockPinUse does.
    return with_device(handle, [&](VokDevice* device) {
        int status = vokIdInitializeBlockCmd(device, pinType, block, pin, pinLength, response);
        if (status != 0 || !provision) return as_status(status);
        status = vokIdSetVendorIdCmd(device, block, nullptr, 0, vendorId, response);
        if (status != 0) return as_status(status);
        status =
            vokIdSetPinCmd(device, VOK_PIN_USER, block, nullptr, 0, newPin, newPinLength, response);
        if (status != 0) return as_status(status);
        if (!is_block(block)) return VOK_STATUS_BAD_ARGUMENT;
        return as_status(vokIdSetBlockPinUseCmd(device, block, nullptr, 0, VOK_PIN_USE_ON,
                                                VOK_PIN_SET_BY_USER, response));
    });
}
