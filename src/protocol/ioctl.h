// The packet layer (packets.cpp) and the transaction engine (ioctl.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "discovery/deviceList.h"
#include "vok/vok.h"

extern "C" {
// The reset exchange after a transport failure. Exported, not in the public header.
VOK_API void reset_dongle(VokDevice* device, uint8_t tag);
}

uint8_t random_byte();
void fill_random(uint8_t* buffer, size_t length);
int32_t control_transfer(VokDevice* device, int direction, uint8_t* buffer, size_t length,
                         uint8_t value);

int cmdProtocolExecute(VokDevice* device, TDRVREQUEST_MEK* request);
int cmdProtocolMOP0(VokDevice* device, TDRVREQUEST_MEK* request, uint8_t* tag);
int cmdProtocolMOP1(uint8_t tag, VokDevice* device, TDRVREQUEST_MEK* request);
int cmdProtocolMOP2(uint8_t tag, VokDevice* device, TDRVREQUEST_MEK* request);
int cmdProtocolMOP3(uint8_t tag, VokDevice* device, TDRVREQUEST_MEK* request);
int cmdProtocolMOP4(uint8_t tag, VokDevice* device, TDRVREQUEST_MEK* request);
int cmdProtocolMOP5(uint8_t tag, VokDevice* device, TDRVREQUEST_MEK* request);
int cmdProtocolMOP6(uint8_t tag, VokDevice* device, TDRVREQUEST_MEK* request);
