// Long reads and writes run in steps, so that a progress bar can follow them
// (each library call is synchronous).
#pragma once

#include <cstdint>
#include <vector>

#include "tokenLimits.h"

namespace vokcli {

// Bytes per step. Even, so that steps meet at word boundaries and a write
// made in steps never reads back a word that another step writes.
constexpr uint32_t kStepSize = 1024;
// The largest token memory; no transfer is longer.
constexpr uint32_t kMaxTransfer = kVokMaxMemoryBytes;

struct Step {
    uint32_t offset;
    uint32_t length;
};

// Steps covering [offset, offset + length) in address order; inner boundaries
// fall on multiples of kStepSize.
std::vector<Step> planSteps(uint32_t offset, uint32_t length);

}  // namespace vokcli
