// The memory of a virtual token, read and written behind the host's back.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "voksim/voksim.h"

namespace testsupport {

// Bytes [offset, offset + length) of the memory of the token at `node`;
// empty, with a test failure, when its state cannot be read.
inline std::vector<uint8_t> tokenMemory(const std::string& node, uint32_t offset, uint32_t length) {
    const std::optional<voksim::TokenState> state = voksim::readState(node);
    if (!state) {
        ADD_FAILURE() << "cannot read the state of " << node;
        return {};
    }
    return std::vector<uint8_t>(state->memory + offset, state->memory + offset + length);
}

// Puts `bytes` into the memory of the token at `node` from `offset` on.
inline void setTokenMemory(const std::string& node, uint32_t offset,
                           const std::vector<uint8_t>& bytes) {
    const bool changed = voksim::modifyState(node, [&](voksim::TokenState& state) {
        std::copy(bytes.begin(), bytes.end(), state.memory + offset);
    });
    ASSERT_TRUE(changed) << node;
}

}  // namespace testsupport
