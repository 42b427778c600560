// The text of an errno value, safe to call from any thread (the virtual
// token's threads, the USB/IP server's connections): strerror_r, not strerror.
#pragma once

#include <cstddef>
#include <string>

namespace voksim {

// In `buffer` (`size` bytes), or a static text.
const char* errorText(int error, char* buffer, size_t size);
// The same as a string.
std::string errnoText(int error);

}  // namespace voksim
