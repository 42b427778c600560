// The regular expression that matches one assertion report of the C library:
// "<program>: <file>:<line>: <function>: Assertion `<expression>' failed."
#pragma once

#include <string>
#include <string_view>

namespace vok_test {

inline std::string escapeRegex(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        if (std::string_view(".[]{}()\\*+?^$|").find(c) != std::string_view::npos) {
            escaped += '\\';
        }
        escaped += c;
    }
    return escaped;
}

inline std::string assertionReport(std::string_view file, std::string_view function,
                                   std::string_view expression) {
    return escapeRegex(file) + ":[0-9]+: " + escapeRegex(function) + ": Assertion `" +
           escapeRegex(expression) + "' failed";
}

}  // namespace vok_test
