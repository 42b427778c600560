#include "hexText.h"

#include <cctype>
#include <cstdio>

namespace vokcli {

namespace {

constexpr size_t kBytesPerLine = 16;
constexpr char kDigits[] = "0123456789abcdef";

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string hexDump(const uint8_t* data, size_t size, uint64_t startAddress) {
    std::string out;
    for (size_t line = 0; line < size; line += kBytesPerLine) {
        char address[32];
        (void)std::snprintf(address, sizeof address,
                            "%08llx: ", static_cast<unsigned long long>(startAddress) + line);
        out += address;
        for (size_t i = 0; i < kBytesPerLine; ++i) {
            if (line + i < size) {
                out += kDigits[data[line + i] >> 4];
                out += kDigits[data[line + i] & 0x0F];
            } else {
                out += "  ";
            }
            if (i % 2 == 1) {
                out += ' ';
            }
        }
        out += ' ';
        for (size_t i = 0; i < kBytesPerLine && line + i < size; ++i) {
            uint8_t b = data[line + i];
            out += (b >= 0x20 && b <= 0x7E) ? static_cast<char>(b) : '.';
        }
        out += '\n';
    }
    return out;
}

std::optional<std::vector<uint8_t>> parseHex(std::string_view text) {
    std::vector<uint8_t> bytes;
    int high = -1;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            if (high >= 0) {
                return std::nullopt;  // white space inside a pair
            }
            continue;
        }
        int value = digitValue(c);
        if (value < 0) {
            return std::nullopt;
        }
        if (high < 0) {
            high = value;
        } else {
            bytes.push_back(static_cast<uint8_t>(high << 4 | value));
            high = -1;
        }
    }
    if (high >= 0) {
        return std::nullopt;
    }
    return bytes;
}

std::string toHex(const uint8_t* data, size_t size) {
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 0x0F];
    }
    return out;
}

}  // namespace vokcli
