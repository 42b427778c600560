// What vok-sim's commands share: the one-line failure report and the
// parsers of errno names and token identifiers.
#pragma once

#include <cstdint>
#include <string>

namespace voksimtool {

// Reports `message` as one line on stderr; the exit status of a failure (1).
int fail(const std::string& message);
// EPIPE, ETIMEDOUT, ... or a number from 1 to 4095.
bool parseErrno(const std::string& text, int& value);
// The name parseErrno knows for `value`, or null.
const char* errnoName(int value);
// 16 hex digits (spaces, ':' and '-' between them allowed) into 8 bytes.
bool parseTokenId(const std::string& text, uint8_t* out);

}  // namespace voksimtool
