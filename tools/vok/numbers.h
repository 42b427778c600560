// Numbers on the command line: decimal, or hexadecimal with a 0x prefix.
// A leading zero does not mean octal, and signs are refused.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vokcli {

std::optional<uint64_t> parseNumber(std::string_view text);

// A CLI11 transform that accepts a number from min to max and hands it on in
// decimal, so that it can be bound to any unsigned integer variable.
CLI::Validator numberIn(uint64_t min, uint64_t max);

// Adds an unsigned option that takes a number from min to max.
template <typename T>
CLI::Option* addNumberOption(CLI::App& cmd, const std::string& name, T& target, uint64_t min,
                             uint64_t max, const std::string& description) {
    return cmd.add_option(name, target, description)->transform(numberIn(min, max))->type_name("N");
}

}  // namespace vokcli
