#include "host/errorText.h"

#include <cstring>

namespace voksim {
namespace {

// strerror_r comes in two forms: the GNU one returns the text, the POSIX one
// fills the buffer and returns 0.
[[maybe_unused]] const char* strerrorResult(const char* text, const char* /*buffer*/) {
    return text;
}
[[maybe_unused]] const char* strerrorResult(int result, const char* buffer) {
    return result == 0 ? buffer : "unknown error";
}

}  // namespace

const char* errorText(int error, char* buffer, size_t size) {
    return strerrorResult(strerror_r(error, buffer, size), buffer);
}

std::string errnoText(int error) {
    char buffer[128];
    return errorText(error, buffer, sizeof buffer);
}

}  // namespace voksim
