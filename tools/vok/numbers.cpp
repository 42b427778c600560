#include "numbers.h"

#include <string>

namespace vokcli {

std::optional<uint64_t> parseNumber(std::string_view text) {
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        if (value > (UINT64_MAX - digit) / base) {
            return std::nullopt;
        }
        value = value * base + digit;
    }
    return value;
}

CLI::Validator numberIn(uint64_t min, uint64_t max) {
    auto check = [min, max](std::string& text) -> std::string {
        std::optional<uint64_t> value = parseNumber(text);
        if (!value) {
            return "'" + text + "' is not a number (decimal, or hexadecimal with 0x)";
        }
        if (*value < min || *value > max) {
            return text + " is outside " + std::to_string(min) + " to " + std::to_string(max);
        }
        text = std::to_string(*value);
        return {};
    };
    return CLI::Validator(check, "", "number");
}

}  // namespace vokcli
