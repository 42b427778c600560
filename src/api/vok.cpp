// Public interface: the exported functions that applications call.
//
// Every handle-based function follows one pattern: check the arguments that
// need no device (3 on the first failure, before the handle is looked up, so a
// bad argument wins over a bad handle), look the handle up and lock it (9 when
// it is not open), run its token commands on the handle's device record while
// holding the lock, unlock, return the status of the last command run.
//
// A function that holds a handle's lock never looks a handle up again: a
// thread waiting for a busy handle waits inside the handle manager's global
// lock, so a lookup from a thread that holds a handle could deadlock.
#include "vok/vok.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "api/listedDevice.h"
#include "commands/tokenCommands.h"
#include "common/libraryStatus.h"
#include "common/tokenLimits.h"
#include "diagnostics/trace.h"
#include "discovery/deviceList.h"
#include "handles/handleManager.h"
#include "lock/tokenLock.h"

namespace {

// The handle manager's type tag of an opened device, the only kind of handle.
constexpr uint32_t kDeviceHandle = 1;

constexpr uint16_t kNoVendorId = 0xFFFF;

// Tokens up to this protocol level keep their main PIN in plain memory: the
// PIN area and, right after it, the PIN control word.
constexpr uint8_t kLastMemoryPinLevel = 21;

}  // namespace

// The handle manager frees a handle's memory through an untyped pointer.
static void free_device(void* handleMemory) {
    vokFreeDevice(static_cast<VokDevice*>(handleMemory));
}

static bool is_block(BLOCK_ID block) {
    const int32_t value = block;
    return value >= VOK_BLOCK_1 && value <= VOK_BLOCK_4;
}

static bool is_new_pin_length(uint32_t newPinLength) {
    return newPinLength >= 1 && newPinLength <= kVokMaxPinLength;
}

static uint32_t as_status(int builderStatus) { return static_cast<uint32_t>(builderStatus); }

// Holds the token for all the transactions of a call, so that they never
// interleave with another handle's or another process's (see
// lock/tokenLock.cpp). Taken after the handle's lock, and never while
// waiting for any other lock.
class TokenHold {
  public:
    explicit TokenHold(const VokDevice* device) : fd_(vokLockToken(device->devicePath)) {}
    ~TokenHold() {
        if (fd_ >= 0) vokUnlockToken(fd_);
    }
    TokenHold(const TokenHold&) = delete;
    TokenHold& operator=(const TokenHold&) = delete;
    bool held() const { return fd_ >= 0; }

  private:
    int fd_;
};

// Steps 2 and 4 of the pattern: lock the handle, run `work` on its device
// record, unlock. `work` must not look up any handle.
template <typename Work>
static uint32_t with_handle(VokHandle handle, Work work) {
    auto* device = static_cast<VokDevice*>(vokOpenAndLockHandle(handle, kDeviceHandle));
    if (device == nullptr) return VOK_STATUS_BAD_HANDLE;
    vokTraceSetHandle(handle);
    const uint32_t status = work(device);
    vokTraceSetHandle(VOK_INVALID_HANDLE);
    vokUnlockHandle(handle);
    return status;
}

// Steps 2 to 5: the same with the token held for all of `work`'s
// transactions; 5 when the token cannot be had.
template <typename Work>
static uint32_t with_device(VokHandle handle, Work work) {
    return with_handle(handle, [&](VokDevice* device) {
        const TokenHold hold(device);
        return hold.held() ? work(device) : VOK_STATUS_TRANSFER_FAILED;
    });
}

// The info command of a device record, with the token held.
static int read_token_info(VokDevice* device) {
    const TokenHold hold(device);
    return hold.held() ? vokIdGetInfoCmd(device, &device->info) : kStatusTransferFailed;
}

// Shared by vokOpen and vokOpenPath (api/listedDevice.h). The token is held
// for the reset and the info command only, not while the handle is made.
VokHandle vokOpenListedDevice(VokDevice* device) {
    if (read_token_info(device) != 0) return VOK_INVALID_HANDLE;
    VokDevice* copy = vokCloneDevice(device);
    VokHandle handle = VOK_INVALID_HANDLE;
    if (!vokCreateAndLockHandle(kDeviceHandle, copy, free_device, &handle)) {
        vokFreeDevice(copy);
        return VOK_INVALID_HANDLE;
    }
    return handle;
}

// ---- Open, info, raw command, close ---------------------------------------

VokHandle vokOpen(uint8_t index) {
    vokTraceBeginCall();
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
    if (handle != VOK_INVALID_HANDLE) vokUnlockHandle(handle);
    return handle;
}

uint32_t vokGetInfo(VokHandle handle, void* info, uint32_t length) {
    vokTraceBeginCall();
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
    vokTraceBeginCall();
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
    vokTraceBeginCall();
    return vokFreeHandle(handle, kDeviceHandle) ? VOK_STATUS_OK : VOK_STATUS_BAD_HANDLE;
}

// ---- Memory ----------------------------------------------------------------

uint32_t vokRead(VokHandle handle, const void* pin, uint32_t pinLength, uint32_t offset,
                 void* buffer, uint32_t length, VokIdResponse* response) {
    vokTraceBeginCall();
    if (buffer == nullptr || length == 0) return VOK_STATUS_BAD_ARGUMENT;
    return with_device(handle, [&](VokDevice* device) {
        return as_status(vokIdReadCmd(device, pin, pinLength, offset, buffer, length, response));
    });
}

uint32_t vokWrite(VokHandle handle, const void* pin, uint32_t pinLength, uint32_t offset,
                  const void* buffer, uint32_t length, VokIdResponse* response) {
    vokTraceBeginCall();
    if (buffer == nullptr || length == 0) return VOK_STATUS_BAD_ARGUMENT;
    return with_device(handle, [&](VokDevice* device) {
        return as_status(vokIdWriteCmd(device, pin, pinLength, offset, buffer, length, response));
    });
}

uint32_t vokReadEx(VokHandle handle, BLOCK_ID block, const void* pin, uint32_t pinLength,
                   uint32_t offset, void* buffer, uint32_t length, VokIdResponse* response) {
    vokTraceBeginCall();
    if (buffer == nullptr || length == 0 || !is_block(block)) return VOK_STATUS_BAD_ARGUMENT;
    return with_device(handle, [&](VokDevice* device) {
        return as_status(
            vokIdReadExCmd(device, block, pin, pinLength, offset, buffer, length, response));
    });
}

uint32_t vokWriteEx(VokHandle handle, BLOCK_ID block, const void* pin, uint32_t pinLength,
                    uint32_t offset, const void* buffer, uint32_t length, VokIdResponse* response) {
    vokTraceBeginCall();
    if (buffer == nullptr || length == 0 || !is_block(block)) return VOK_STATUS_BAD_ARGUMENT;
    return with_device(handle, [&](VokDevice* device) {
        return as_status(
            vokIdWriteExCmd(device, block, pin, pinLength, offset, buffer, length, response));
    });
}

// ---- Blocks, PINs and security parameters ---------------------------------

uint32_t vokGetVendorId(VokHandle handle, BLOCK_ID block, uint16_t* vendorId,
                        VokIdResponse* response) {
    vokTraceBeginCall();
    if (vendorId == nullptr || !is_block(block)) return VOK_STATUS_BAD_ARGUMENT;
    return with_device(handle, [&](VokDevice* device) {
        return as_status(vokIdGetVendorIdCmd(device, block, vendorId, response));
    });
}

uint32_t vokSetVendorId(VokHandle handle, BLOCK_ID block, const void* pin, uint32_t pinLength,
                        uint16_t vendorId, VokIdResponse* response) {
    vokTraceBeginCall();
    if (vendorId == kNoVendorId || !is_block(block)) return VOK_STATUS_BAD_ARGUMENT;
    return with_device(handle, [&](VokDevice* device) {
        return as_status(vokIdSetVendorIdCmd(device, block, pin, pinLength, vendorId, response));
    });
}

uint32_t vokGetBlockAttr(VokHandle handle, BLOCK_ID block, uint16_t* attributes,
                         VokIdResponse* response) {
    vokTraceBeginCall();
    if (attributes == nullptr || !is_block(block)) return VOK_STATUS_BAD_ARGUMENT;
    return with_device(handle, [&](VokDevice* device) {
        return as_status(vokIdGetBlockAttrCmd(device, block, attributes, response));
    });
}

uint32_t vokSetBlockAttr(VokHandle handle, BLOCK_ID block, const void* pin, uint32_t pinLength,
                         RW_PERMISSIONS permissions, uint16_t* attributes,
                         VokIdResponse* response) {
    vokTraceBeginCall();
    if (!is_block(block)) return VOK_STATUS_BAD_ARGUMENT;
    return with_device(handle, [&](VokDevice* device) {
        return as_status(
            vokIdSetBlockAttrCmd(device, block, pin, pinLength, permissions, attributes, response));
    });
}

uint32_t vokLockBlock(VokHandle handle, BLOCK_ID block, const void* pin, uint32_t pinLength,
                      ACCESS access, VokIdResponse* response) {
    vokTraceBeginCall();
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
    vokTraceBeginCall();
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
    vokTraceBeginCall();
    if (!is_block(block)) return VOK_STATUS_BAD_ARGUMENT;
    return with_device(handle, [&](VokDevice* device) {
        return as_status(vokIdSetBlockPinUseCmd(device, block, pin, pinLength, pinUse,
                                                pinSetPermissions, response));
    });
}

uint32_t vokSetSecParameters(VokHandle handle, const void* pin, uint32_t pinLength,
                             uint8_t secParameter1, uint8_t secParameter2, uint8_t secParameter3,
                             uint8_t secParameter4, VokIdResponse* response) {
    vokTraceBeginCall();
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
    vokTraceBeginCall();
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
    vokTraceBeginCall();
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
    vokTraceBeginCall();
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

// ---- Status texts ------------------------------------------------------------

namespace {

constexpr char kTokenStatusPattern[] = "token status 0xNN";

// One constant text per status byte, made at compile time, so that looking a
// text up needs no allocation and no lock.
struct TokenStatusTexts {
    char text[256][sizeof(kTokenStatusPattern)];
};

constexpr TokenStatusTexts make_token_status_texts() {
    constexpr char hexDigits[] = "0123456789ABCDEF";
    constexpr std::size_t firstDigit = sizeof(kTokenStatusPattern) - 3;
    TokenStatusTexts texts{};
    for (std::size_t status = 0; status < 256; ++status) {
        for (std::size_t i = 0; i < sizeof(kTokenStatusPattern); ++i)
            texts.text[status][i] = kTokenStatusPattern[i];
        texts.text[status][firstDigit] = hexDigits[status >> 4];
        texts.text[status][firstDigit + 1] = hexDigits[status & 0x0F];
    }
    return texts;
}

constexpr TokenStatusTexts kTokenStatusTexts = make_token_status_texts();

}  // namespace

const char* vokStatusString(uint32_t status) {
    switch (status) {
        case VOK_STATUS_OK:
            return "success";
        case VOK_STATUS_BAD_ARGUMENT:
            return "bad argument";
        case VOK_STATUS_TRANSFER_FAILED:
            return "exchange with the token failed";
        case VOK_STATUS_UNKNOWN_MEMORY_MODEL:
            return "unknown memory model";
        case VOK_STATUS_BAD_HANDLE:
            return "no open handle of that number";
        default:
            break;
    }
    // The library and the token produce only byte-sized statuses.
    if (status > 0xFF) return "unknown status";
    return kTokenStatusTexts.text[status];
}
