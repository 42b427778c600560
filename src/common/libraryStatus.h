// The library's own status values as the int that the engine and the command
// builders return beside the token's status bytes. The values are the public
// VOK_STATUS_ macros; this only gives them the engine's type.
#pragma once

#include "vok/vok.h"

inline constexpr int kStatusOk = VOK_STATUS_OK;
inline constexpr int kStatusBadArgument = VOK_STATUS_BAD_ARGUMENT;
inline constexpr int kStatusTransferFailed = VOK_STATUS_TRANSFER_FAILED;
inline constexpr int kStatusUnknownMemoryModel = VOK_STATUS_UNKNOWN_MEMORY_MODEL;
