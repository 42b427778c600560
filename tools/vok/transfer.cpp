#include "transfer.h"

#include <algorithm>

namespace vokcli {

std::vector<Step> planSteps(uint32_t offset, uint32_t length) {
    std::vector<Step> steps;
    uint64_t position = offset;
    const uint64_t end = uint64_t{offset} + length;
    while (position < end) {
        uint64_t boundary = (position / kStepSize + 1) * kStepSize;
        uint64_t stepEnd = std::min(boundary, end);
        steps.push_back(
            {static_cast<uint32_t>(position), static_cast<uint32_t>(stepEnd - position)});
        position = stepEnd;
    }
    return steps;
}

}  // namespace vokcli
