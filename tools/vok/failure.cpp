#include "failure.h"

#include <vok/vok.h>

#include <cerrno>
#include <cstring>

namespace vokcli {

namespace {

// What the system error behind status 5 means for the user, and the next
// step. The one table of causes: every message that names a system error
// takes its words from here.
struct Cause {
    int error;
    const char* name;
    const char* nextStep;
};

constexpr const char* kNoPermission =
    "this user may not open the token's node: install the udev rule and run 'vok doctor'";
constexpr const char* kRemoved = "the token was removed: plug it in again";
constexpr const char* kNoAnswer = "the token did not answer: try again, or re-plug it";
constexpr const char* kHeld =
    "another program holds the token and made no progress for as long as the library waits "
    "(stopped, or asleep): 'fuser -v' on its node (see 'vok list') names it";

constexpr Cause kCauses[] = {
    {EACCES, "EACCES", kNoPermission},
    {EPERM, "EPERM", kNoPermission},
    {ENODEV, "ENODEV", kRemoved},
    {ENOENT, "ENOENT", kRemoved},
    {ETIMEDOUT, "ETIMEDOUT", kNoAnswer},
    {EPIPE, "EPIPE", kNoAnswer},
    {EBUSY, "EBUSY", kHeld},
};

}  // namespace

void failUsage(std::string message) { throw Failure{kExitUsage, std::move(message)}; }

std::string systemErrorLine(int error) {
    if (error == 0) {
        return "no system call failed: the token's reply did not fit the exchange; run the "
               "command again with -v for the trace";
    }
    std::string line = "system error: ";
    line += std::strerror(error);  // NOLINT(concurrency-mt-unsafe): one thread
    for (const Cause& cause : kCauses) {
        if (cause.error == error) {
            return line + " (" + cause.name + "): " + cause.nextStep;
        }
    }
    return line + " (errno " + std::to_string(error) +
           "): run the command again with -v for the trace";
}

std::string openErrorLine(int error) {
    return error == EACCES || error == EPERM || error == EBUSY ? systemErrorLine(error)
                                                               : std::string();
}

void failStatus(std::string_view operation, uint32_t status) {
    // Read first: nothing below calls the library before it.
    const int systemError = status == VOK_STATUS_TRANSFER_FAILED ? vokLastSystemError() : 0;
    std::string message(operation);
    message += ": ";
    message += vokStatusString(status);
    message += " (status " + std::to_string(status) + ")";
    if (status == VOK_STATUS_TRANSFER_FAILED) message += "\nvok: " + systemErrorLine(systemError);
    throw Failure{kExitFailed, std::move(message)};
}

}  // namespace vokcli
