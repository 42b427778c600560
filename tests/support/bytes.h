// Byte vectors written as brace lists: bytesOf({0x30, tag, 0, 0}).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace testsupport {

// Each value is taken modulo 256, so that computed values need no casts.
inline std::vector<uint8_t> bytesOf(std::initializer_list<int> values) {
    std::vector<uint8_t> result;
    result.reserve(values.size());
    for (int value : values) result.push_back(static_cast<uint8_t>(value));
    return result;
}

}  // namespace testsupport
