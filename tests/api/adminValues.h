// What the tests of the block, PIN and security operations and of the
// provisioning sequences share: their PINs and a block number of any value.
#pragma once

#include <cstdint>
#include <vector>

#include "vok/vok.h"

namespace voktest {

using Bytes = std::vector<uint8_t>;

inline const uint8_t kPin[] = {'1', '2', '3', '4'};
inline const Bytes kNewPin{'s', 'e', 'c', 'r', 'e', 't', '4', '2'};

inline BLOCK_ID block(int32_t value) { return static_cast<BLOCK_ID>(value); }

}  // namespace voktest
