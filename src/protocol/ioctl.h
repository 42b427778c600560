// The transaction engine: a command's phases as one exchange of packets
// with the token (the packet layer: packets.h).
#pragma once

#include <cstdint>

#include "discovery/deviceList.h"
#include "vok/vok.h"

int cmdProtocolExecute(VokDevice* device, TDRVREQUEST_MEK* request);
int cmdProtocolMOP0(VokDevice* device, TDRVREQUEST_MEK* request, uint8_t* tag);
int cmdProtocolMOP1(uint8_t tag, VokDevice* device, TDRVREQUEST_MEK* request);
int cmdProtocolMOP2(uint8_t tag, VokDevice* device, TDRVREQUEST_MEK* request);
int cmdProtocolMOP3(uint8_t tag, VokDevice* device, TDRVREQUEST_MEK* request);
int cmdProtocolMOP4(uint8_t tag, VokDevice* device, TDRVREQUEST_MEK* request);
int cmdProtocolMOP5(uint8_t tag, VokDevice* device, TDRVREQUEST_MEK* request);
int cmdProtocolMOP6(uint8_t tag, VokDevice* device, TDRVREQUEST_MEK* request);
