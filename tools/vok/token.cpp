#include "token.h"

#include <string>

#include "failure.h"

namespace vokcli {

Token::Token(unsigned index) : handle_(vokOpen(static_cast<uint8_t>(index))) {
    if (handle_ == VOK_INVALID_HANDLE) {
        std::string message = "no token answers at index " + std::to_string(index) +
                              " (see 'vok list' and 'vok doctor')";
        const std::string cause = openErrorLine(vokLastSystemError());
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
