// What vok-sim's commands share: the one-line failure report, the parsers
// of errno names and token identifiers, and the signals of a command that
// serves until it is stopped.
#pragma once

#include <signal.h>

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

// For a command that serves devices until it is stopped (attach, serve):
// SIGPIPE is ignored, so that a closed output cannot end it, and SIGINT and
// SIGTERM are blocked in this thread and every thread it starts after, for
// the command to take them itself. Returns the set of those two.
sigset_t holdStopSignals();

}  // namespace voksimtool
