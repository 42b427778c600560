// The public entry of one token, as vokListTokens gives it (defined in
// tokenChoice.cpp): the monitor's events carry the same entry.
#pragma once

#include "discovery/deviceList.h"
#include "vok/vok.h"

// Fills `entry` from a record's index, product ID and device path.
void vokFillTokenEntry(const VokDevice& device, VokTokenEntry& entry);
