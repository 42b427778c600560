// Bytes as text: the xxd-style dump that `vok read` prints, and hexadecimal
// input and output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vokcli {

// Lines of 16 bytes in the layout of `xxd -o startAddress`: address, eight
// groups of two bytes, then the bytes as ASCII ('.' for the unprintable), so
// that `xxd -r` turns the dump back into bytes.
std::string hexDump(const uint8_t* data, size_t size, uint64_t startAddress);

// Hexadecimal digits in pairs, either case, with optional white space between
// pairs. Nothing for a split pair, an odd digit count or any other character.
std::optional<std::vector<uint8_t>> parseHex(std::string_view text);

// Lower-case hexadecimal digits, two per byte, nothing between them.
std::string toHex(const uint8_t* data, size_t size);

}  // namespace vokcli
