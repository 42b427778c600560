// Opening a token that discovery has listed. vokOpen (which picks the record
// by its index) and vokOpenPath (by its device node) share this one routine,
// so both run the same info command and register the same kind of handle.
#pragma once

#include "discovery/deviceList.h"
#include "vok/vok.h"

// Runs the info command on `device`, a record of a device list, and registers
// a copy of it (with the information just read) as a new handle. The handle
// stays locked by the calling thread: the caller frees the list, then unlocks
// it. VOK_INVALID_HANDLE when the info command fails or the handle table is
// full; the list is the caller's in every case.
VokHandle vokOpenListedDevice(VokDevice* device);
