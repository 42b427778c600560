// Token commands: the info and raw commands, the response summary, and one
// builder per block, PIN and security command (tokenCommands.cpp; the memory
// commands: memoryCommands.h).
#pragma once

#include <cstdint>

#include "discovery/deviceList.h"
#include "vok/vok.h"

extern "C" {
VOK_API int vokIdGetInfoCmd(VokDevice* device, VokIdInfo* info);
VOK_API int vokIdCommand(VokDevice* device, TDRVREQUEST_MEK* request, uint32_t length);
VOK_API void copyResponseInfo(TDRVREQUEST_MEK* request, VokIdResponse* response);

VOK_API int vokIdInitializeCmd(VokDevice* device, const void* pin, uint32_t pinLength,
                               VokIdResponse* response);
VOK_API int vokIdInitializeBlockCmd(VokDevice* device, TYPE_PIN pinType, BLOCK_ID block,
                                    const void* pin, uint32_t pinLength, VokIdResponse* response);
VOK_API int vokIdGetVendorIdCmd(VokDevice* device, BLOCK_ID block, uint16_t* vendorId,
                                VokIdResponse* response);
VOK_API int vokIdSetVendorIdCmd(VokDevice* device, BLOCK_ID block, const void* pin,
                                uint32_t pinLength, uint16_t vendorId, VokIdResponse* response);
VOK_API int vokIdGetBlockAttrCmd(VokDevice* device, BLOCK_ID block, uint16_t* attributes,
                                 VokIdResponse* response);
VOK_API int vokIdSetBlockAttrCmd(VokDevice* device, BLOCK_ID block, const void* pin,
                                 uint32_t pinLength, RW_PERMISSIONS permissions,
                                 uint16_t* attributes, VokIdResponse* response);
VOK_API int vokLockBlockCmd(VokDevice* device, BLOCK_ID block, const void* pin, uint32_t pinLength,
                            ACCESS access, VokIdResponse* response);
VOK_API int vokIdSetSecParametersCmd(VokDevice* device, const void* pin, uint32_t pinLength,
                                     uint8_t secParameter1, uint8_t secParameter2,
                                     uint8_t secParameter3, uint8_t secParameter4,
                                     VokIdResponse* response);
VOK_API int vokIdGetSecParametersCmd(VokDevice* device, uint8_t* secParameter1,
                                     uint8_t* secParameter2, uint8_t* secParameter3,
                                     uint8_t* secParameter4, VokIdResponse* response);
VOK_API int vokIdSetPinCmd(VokDevice* device, TYPE_PIN pinType, BLOCK_ID block, const void* pin,
                           uint32_t pinLength, const void* newPin, uint32_t newPinLength,
                           VokIdResponse* response);
VOK_API int vokIdSetBlockPinUseCmd(VokDevice* device, BLOCK_ID block, const void* pin,
                                   uint32_t pinLength, PIN_USE pinUse,
                                   PIN_SET_PERMISSIONS pinSetPermissions, VokIdResponse* response);
}

// The last step of every builder, also of each part of a memory transfer:
// runs the filled record through the transaction engine, wipes the PIN it
// carried and copies the response summary out. Not exported.
int finish_command(TDRVREQUEST_MEK* request, VokDevice* device, VokIdResponse* response);
