// Memory commands: reads and writes of token memory, plain or through a
// block, of any length the token's memory holds (memoryCommands.cpp).
#pragma once

#include <cstdint>

#include "discovery/deviceList.h"
#include "vok/vok.h"

extern "C" {
VOK_API int vokIdReadCmd(VokDevice* device, const void* pin, uint32_t pinLength, uint32_t offset,
                         void* buffer, uint32_t length, VokIdResponse* response);
VOK_API int vokIdWriteCmd(VokDevice* device, const void* pin, uint32_t pinLength, uint32_t offset,
                          const void* buffer, uint32_t length, VokIdResponse* response);
VOK_API int vokIdReadExCmd(VokDevice* device, BLOCK_ID block, const void* pin, uint32_t pinLength,
                           uint32_t offset, void* buffer, uint32_t length, VokIdResponse* response);
VOK_API int vokIdWriteExCmd(VokDevice* device, BLOCK_ID block, const void* pin, uint32_t pinLength,
                            uint32_t offset, const void* buffer, uint32_t length,
                            VokIdResponse* response);
}
