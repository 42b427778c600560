// How a vok command ends when it cannot do what it was asked: a message for
// stderr and the exit status.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vokcli {

// Exit statuses of the tool (also listed in the man page).
enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,   // the library or the token reported a status other than 0
    kExitUsage = 2,    // bad command line, unreadable input file, no PIN available
    kExitNoToken = 3,  // no token answers at the requested index
};

// Thrown by a command and caught in main, which prints "vok: MESSAGE" on one
// line of stderr and exits with exitCode.
struct Failure {
    int exitCode;
    std::string message;
};

[[noreturn]] void failUsage(std::string message);

// A status other than 0 from the library: the message names the operation and
// the status in the library's own words.
[[noreturn]] void failStatus(std::string_view operation, uint32_t status);

// Ends the command with failStatus unless status is 0.
inline void requireOk(std::string_view operation, uint32_t status) {
    if (status != 0) {
        failStatus(operation, status);
    }
}

}  // namespace vokcli
