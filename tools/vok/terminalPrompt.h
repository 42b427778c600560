// Asking for a secret on the controlling terminal without echoing it.
#pragma once

#include <optional>

#include "secret.h"

namespace vokcli {

// Writes prompt to the controlling terminal (/dev/tty), turns echo off, reads
// one line and puts the terminal back as it was, also when the process is
// interrupted by a signal meanwhile. Nothing when the process has no
// controlling terminal. The line ends at the newline, which is not part of
// the result; at most 255 bytes are kept (a longer line is refused).
std::optional<Secret> promptHidden(const char* prompt);

}  // namespace vokcli
