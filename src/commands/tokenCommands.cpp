// Token commands: the info and raw commands, the response summary, and the
// block, PIN and security commands (memory commands: memoryCommands.cpp).
//
// Every builder checks its arguments, fills a zeroed request record in its own
// automatic storage, runs it through the transaction engine and copies the
// results and the response summary out. Once its transaction has run, the
// PINs it carried are wiped from the working record.
#include "commands/tokenCommands.h"

#include <cstddef>
#include <cstring>

#include "commands/requestRecord.h"
#include "common/libraryStatus.h"
#include "common/tokenLimits.h"
#include "common/vokAssert.h"
#include "protocol/ioctl.h"

static uint8_t low_byte(uint32_t value) { return static_cast<uint8_t>(value & 0xFFu); }

// The little-endian 16-bit result in data bytes 0 and 1.
static uint16_t data_word(const TDRVREQUEST_MEK* request) {
    return static_cast<uint16_t>(request->data[0] | (request->data[1] << 8));
}

// The PIN kind that reaches the token is bit 0 of the argument, so the rule
// follows that bit: a kind-1 PIN always needs the current one, whatever other
// bits the caller's value carries.
static bool pin_by_type_ok(TYPE_PIN pinType, const void* pin, uint32_t pinLength) {
    if ((static_cast<uint32_t>(pinType) & 1u) != 0) return pin_required_ok(pin, pinLength);
    return pin_optional_ok(pin, pinLength);
}

// ---- Info command, raw command and response summary ----------------------

extern "C" VOK_API void copyResponseInfo(TDRVREQUEST_MEK* request, VokIdResponse* response) {
    response->status = request->status;
    response->pinPhaseReply = request->pinPhaseReply;
    response->versionNibbles = request->versionNibbles;
    response->memoryModel = request->memoryModel;
    response->protocolLevel = request->protocolLevel;
    response->infoByte = request->infoByte;
    response->memoryUnits = request->memoryUnits;
}

extern "C" VOK_API int vokIdGetInfoCmd(VokDevice* device, VokIdInfo* info) {
    TDRVREQUEST_MEK request;
    zero_request(&request);
    request.command = VOK_CMD_GET_INFO;

    const int status = cmdProtocolExecute(device, &request);
    if (status != kStatusOk) return status;

    info->flagA = request.flagA != 0 ? 1 : 0;
    info->flagB = request.flagB != 0 ? 1 : 0;
    info->versionHigh = static_cast<uint8_t>(request.versionNibbles >> 4);
    info->versionLow = static_cast<uint8_t>(request.versionNibbles & 0x0Fu);
    info->memoryModel = request.memoryModel;
    info->protocolLevel = request.protocolLevel;
    info->infoByte = request.infoByte;
    std::memcpy(info->tokenId, request.data, sizeof info->tokenId);

    // Models 0 and 1 count memory in 16-byte units and keep the PIN area just
    // below address 256; model 2 and above count in 256-byte units and keep
    // it at the very end of memory.
    const uint32_t units = request.memoryUnits;
    uint32_t pinBase = 256;
    if (request.memoryModel >= 2) {
        info->memorySize = units * 256u;
        pinBase = units * 256u;
    } else {
        info->memorySize = units * 16u;
    }
    info->pinAddress = pinBase - 34u;
    info->pinControlAddress = pinBase - 2u;
    return kStatusOk;
}

extern "C" VOK_API int vokIdCommand(VokDevice* device, TDRVREQUEST_MEK* request, uint32_t length) {
    if (request == nullptr || length < VOK_REQUEST_HEADER_SIZE || length > VOK_REQUEST_SIZE) {
        return kStatusBadArgument;
    }
    // Bytes beyond length stay zero, so a record the caller cut short reads
    // as a record whose remaining fields and data are zero.
    TDRVREQUEST_MEK working;
    zero_request(&working);
    std::memcpy(&working, request, length);

    const int status = cmdProtocolExecute(device, &working);

    std::memcpy(request, &working, length);
    // The raw record may carry PINs anywhere (the pin field, a new PIN or a
    // PIN written to memory in the data area): clear all of it.
    wipe_bytes(&working, sizeof working);
    return status;
}

// ---- Block, PIN and security commands --------------------------------------
//
// Each is one transaction: start_command fills the common fields, the builder
// adds its parameter bytes, finish_command runs the record and wipes it.

static void start_command(TDRVREQUEST_MEK* request, uint8_t command, const void* pin,
                          uint32_t pinLength) {
    zero_request(request);
    request->command = command;
    put_pin(request, pin, pinLength);
}

int finish_command(TDRVREQUEST_MEK* request, VokDevice* device, VokIdResponse* response) {
    const int status = cmdProtocolExecute(device, request);
    wipe_pins(request);
    copyResponseInfo(request, response);
    return status;
}

// The three getters send neither PIN nor token identifier.
static int run_getter(VokDevice* device, uint8_t command, BLOCK_ID block, TDRVREQUEST_MEK* request,
                      VokIdResponse* response) {
    start_command(request, command, nullptr, 0);
    put_block(request, block);
    return finish_command(request, device, response);
}

// The initialise command's PIN is not otherwise tested: a null PIN or an
// empty one sends an all-zero pin field. Only a PIN that does not fit the
// field is refused.
extern "C" VOK_API int vokIdInitializeCmd(VokDevice* device, const void* pin, uint32_t pinLength,
                                          VokIdResponse* response) {
    if (pin != nullptr && pinLength > kVokMaxPinLength) return kStatusBadArgument;
    TDRVREQUEST_MEK request;
    start_command(&request, VOK_CMD_INITIALIZE, pin, pinLength);
    put_token_id(&request, device);
    return finish_command(&request, device, response);
}

extern "C" VOK_API int vokIdInitializeBlockCmd(VokDevice* device, TYPE_PIN pinType, BLOCK_ID block,
                                               const void* pin, uint32_t pinLength,
                                               VokIdResponse* response) {
    if (!pin_by_type_ok(pinType, pin, pinLength)) return kStatusBadArgument;
    TDRVREQUEST_MEK request;
    start_command(&request, VOK_CMD_INITIALIZE_BLOCK, pin, pinLength);
    put_block(&request, block);
    request.pinType = static_cast<uint32_t>(pinType) & 1u;
    put_token_id(&request, device);
    return finish_command(&request, device, response);
}

extern "C" VOK_API int vokIdGetVendorIdCmd(VokDevice* device, BLOCK_ID block, uint16_t* vendorId,
                                           VokIdResponse* response) {
    TDRVREQUEST_MEK request;
    const int status = run_getter(device, VOK_CMD_GET_VENDOR_ID, block, &request, response);
    if (status == kStatusOk) {
        *vendorId = data_word(&request);
    }
    return status;
}

extern "C" VOK_API int vokIdSetVendorIdCmd(VokDevice* device, BLOCK_ID block, const void* pin,
                                           uint32_t pinLength, uint16_t vendorId,
                                           VokIdResponse* response) {
    if (!pin_optional_ok(pin, pinLength)) return kStatusBadArgument;
    TDRVREQUEST_MEK request;
    start_command(&request, VOK_CMD_SET_VENDOR_ID, pin, pinLength);
    put_block(&request, block);
    put_token_id(&request, device);
    request.data[0] = low_byte(vendorId);
    request.data[1] = low_byte(vendorId >> 8);
    return finish_command(&request, device, response);
}

extern "C" VOK_API int vokIdGetBlockAttrCmd(VokDevice* device, BLOCK_ID block, uint16_t* attributes,
                                            VokIdResponse* response) {
    TDRVREQUEST_MEK request;
    const int status = run_getter(device, VOK_CMD_GET_BLOCK_ATTR, block, &request, response);
    if (status == kStatusOk) {
        *attributes = data_word(&request);
    }
    return status;
}

extern "C" VOK_API int vokIdSetBlockAttrCmd(VokDevice* device, BLOCK_ID block, const void* pin,
                                            uint32_t pinLength, RW_PERMISSIONS permissions,
                                            uint16_t* attributes, VokIdResponse* response) {
    if (!pin_required_ok(pin, pinLength)) return kStatusBadArgument;
    TDRVREQUEST_MEK request;
    start_command(&request, VOK_CMD_SET_BLOCK_ATTR, pin, pinLength);
    put_block(&request, block);
    put_token_id(&request, device);
    request.data[0] = low_byte(static_cast<uint32_t>(permissions));
    const int status = finish_command(&request, device, response);
    if (status == kStatusOk) {
        *attributes = data_word(&request);
    }
    return status;
}

extern "C" VOK_API int vokLockBlockCmd(VokDevice* device, BLOCK_ID block, const void* pin,
                                       uint32_t pinLength, ACCESS access, VokIdResponse* response) {
    if (!pin_required_ok(pin, pinLength)) return kStatusBadArgument;
    TDRVREQUEST_MEK request;
    start_command(&request, VOK_CMD_LOCK_BLOCK, pin, pinLength);
    put_block(&request, block);
    put_token_id(&request, device);
    request.data[0] = low_byte(static_cast<uint32_t>(access));
    return finish_command(&request, device, response);
}

extern "C" VOK_API int vokIdSetSecParametersCmd(VokDevice* device, const void* pin,
                                                uint32_t pinLength, uint8_t secParameter1,
                                                uint8_t secParameter2, uint8_t secParameter3,
                                                uint8_t secParameter4, VokIdResponse* response) {
    if (!pin_required_ok(pin, pinLength)) return kStatusBadArgument;
    TDRVREQUEST_MEK request;
    start_command(&request, VOK_CMD_SET_SEC_PARAMETERS, pin, pinLength);
    put_token_id(&request, device);
    request.data[0] = secParameter1;
    request.data[1] = secParameter2;
    request.data[2] = secParameter3;
    request.data[3] = secParameter4;
    return finish_command(&request, device, response);
}

extern "C" VOK_API int vokIdGetSecParametersCmd(VokDevice* device, uint8_t* secParameter1,
                                                uint8_t* secParameter2, uint8_t* secParameter3,
                                                uint8_t* secParameter4, VokIdResponse* response) {
    TDRVREQUEST_MEK request;
    start_command(&request, VOK_CMD_GET_SEC_PARAMETERS, nullptr, 0);
    const int status = finish_command(&request, device, response);
    if (status == kStatusOk) {
        *secParameter1 = request.data[0];
        *secParameter2 = request.data[1];
        *secParameter3 = request.data[2];
        *secParameter4 = request.data[3];
    }
    return status;
}

// The new PIN must fit the 32-byte area that the token receives, with its
// last byte zero, like every other PIN.
extern "C" VOK_API int vokIdSetPinCmd(VokDevice* device, TYPE_PIN pinType, BLOCK_ID block,
                                      const void* pin, uint32_t pinLength, const void* newPin,
                                      uint32_t newPinLength, VokIdResponse* response) {
    if (!pin_by_type_ok(pinType, pin, pinLength)) return kStatusBadArgument;
    if (!pin_required_ok(newPin, newPinLength)) return kStatusBadArgument;
    TDRVREQUEST_MEK request;
    start_command(&request, VOK_CMD_SET_PIN, pin, pinLength);
    put_block(&request, block);
    request.pinType = static_cast<uint32_t>(pinType) & 1u;
    put_token_id(&request, device);
    request.newPinLength = low_byte(newPinLength);
    std::memcpy(request.data, newPin, newPinLength);
    const int status = finish_command(&request, device, response);
    wipe_bytes(request.data, sizeof request.pin);
    return status;
}

extern "C" VOK_API int vokIdSetBlockPinUseCmd(VokDevice* device, BLOCK_ID block, const void* pin,
                                              uint32_t pinLength, PIN_USE pinUse,
                                              PIN_SET_PERMISSIONS pinSetPermissions,
                                              VokIdResponse* response) {
    if (!pin_optional_ok(pin, pinLength)) return kStatusBadArgument;
    TDRVREQUEST_MEK request;
    start_command(&request, VOK_CMD_SET_BLOCK_PIN_USE, pin, pinLength);
    put_block(&request, block);
    put_token_id(&request, device);
    request.data[0] = low_byte(static_cast<uint32_t>(pinUse));
    request.data[1] = low_byte(static_cast<uint32_t>(pinSetPermissions));
    return finish_command(&request, device, response);
}
