#include "failure.h"

#include <vok/vok.h>

namespace vokcli {

void failUsage(std::string message) { throw Failure{kExitUsage, std::move(message)}; }

void failStatus(std::string_view operation, uint32_t status) {
    std::string message(operation);
    message += ": ";
    message += vokStatusString(status);
    message += " (status " + std::to_string(status) + ")";
    throw Failure{kExitFailed, std::move(message)};
}

}  // namespace vokcli
