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
    kExitNoToken = 3,  // no token answers at the requested index, or no usbfs root
    kExitTimeout = 4,  // vok wait: the time given with --timeout ran out
};

// Thrown by a command and caught in main, which prints "vok: MESSAGE" on one
// line of stderr and exits with exitCode.
struct Failure {
    int exitCode;
    std::string message;
};

[[noreturn]] void failUsage(std::string message);

// A status other than 0 from the library: the message names the operation and
// the status in the library's own words. For status 5 a second line names the
// system error behind it (vokLastSystemError) and what to do next; a token's
// own status byte stays a number.
[[noreturn]] void failStatus(std::string_view operation, uint32_t status);

// "system error: <strerror> (<NAME>): <next step>" for the errno behind a
// status 5; for 0 (no system call failed) a line that points to the trace.
std::string systemErrorLine(int error);

// For a token that vokOpen could not open: the system error line when that
// error says the node is out of this user's reach, else empty (a missing
// token is told by the message itself).
std::string openErrorLine(int error);

// Ends the command with failStatus unless status is 0.
inline void requireOk(std::string_view operation, uint32_t status) {
    if (status != 0) {
        failStatus(operation, status);
    }
}

}  // namespace vokcli
