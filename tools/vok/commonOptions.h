// Options that many subcommands share (commonOptions.cpp).
#pragma once

#include <CLI/CLI.hpp>

namespace vokcli {

struct TokenChoice;

// -t/--token INDEX or --path PATH: which token.
void addTokenOption(CLI::App& command, TokenChoice& choice);
void addJsonOption(CLI::App& command, bool& json);
// -b/--block, 1 to 4.
CLI::Option* addBlockOption(CLI::App& command, unsigned& block);

}  // namespace vokcli
