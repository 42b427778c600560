// The token model: the device side of the protocol (owned by the sim; the
// transport only moves transfers to and from it). Placeholder until built.
#pragma once

#include <cstdint>

namespace voksim {
struct TokenState;
}
