#include "token.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "failure.h"

namespace vokcli {

namespace {

VokHandle open(const TokenChoice& choice) {
    return choice.path.empty() ? vokOpen(static_cast<uint8_t>(choice.index))
                               : vokOpenPath(choice.path.c_str());
}

// Why vokOpenPath found no token at a path, in a few words; empty when a
// line of its own says it (a node out of reach) or nothing is known.
std::string pathReason(int error) {
    if (error == ENODEV) return "not a token (another device, or outside the usbfs root in use)";
    if (error == 0 || error == EACCES || error == EPERM) return {};
    return std::strerror(error);  // NOLINT(concurrency-mt-unsafe): one thread
}

}  // namespace

Token::Token(const TokenChoice& choice) : handle_(open(choice)) {
    if (handle_ == VOK_INVALID_HANDLE) {
        const int error = vokLastSystemError();
        std::string message = "no token answers at ";
        if (choice.path.empty()) {
            message += "index " + std::to_string(choice.index);
        } else {
            message += choice.path;
            if (const std::string reason = pathReason(error); !reason.empty()) {
                message += ": " + reason;
            }
        }
        message += " (see 'vok list' and 'vok doctor')";
        const std::string cause = openErrorLine(error);
        if (!cause.empty()) message += "\nvok: " + cause;
        throw Failure{kExitNoToken, std::move(message)};
    }
}

Token::~Token() { vokClose(handle_); }

VokIdInfo Token::info() const {
    VokIdInfo info{};
    requireOk("info", vokGetInfo(handle_, &info, sizeof info));
    return info;
}

}  // namespace vokcli
