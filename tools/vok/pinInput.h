// Where the PINs of a command come from. A PIN is never taken from the
// command line itself: it is read from a file (the first line), from an
// environment variable, or asked for on the controlling terminal with echo
// off. A PIN is never read from standard input unless the file named is "-":
// standard input often carries the data of the command, and a script that
// pipes something into vok must not have it taken as a PIN by accident.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

#include "secret.h"
#include "tokenLimits.h"

namespace vokcli {

// The longest PIN the library accepts.
constexpr uint32_t kMaxPinLength = kVokMaxPinLength;

enum class PinNeed {
    kOptional,  // no PIN unless one of the PIN options is given
    kRequired,  // asked for on the terminal unless a file or variable is named
};

struct PinSource {
    std::string file;     // "-" is standard input
    std::string envName;  // name of an environment variable
    bool ask = false;     // ask on the terminal (the default for a required PIN)
};

// --pin-file, --pin-env and, for an optional PIN, --ask-pin.
void addPinOptions(CLI::App& cmd, PinSource& source, PinNeed need);
// The same for a PIN to be installed: --new-pin-file, --new-pin-env and, for
// an optional one, --ask-new-pin. A new PIN typed at the terminal is asked
// for twice.
void addNewPinOptions(CLI::App& cmd, PinSource& source, PinNeed need);

// The PIN, or nothing for an optional PIN that no option asked for. Ends the
// command (usage failure) when the source cannot be read, the PIN is empty or
// longer than kMaxPinLength, or a terminal is needed and there is none.
std::optional<Secret> obtainPin(const PinSource& source, PinNeed need);
std::optional<Secret> obtainNewPin(const PinSource& source, PinNeed need);

// Pointer and length for the library: null and 0 for no PIN.
inline const void* pinData(const std::optional<Secret>& pin) { return pin ? pin->data() : nullptr; }
inline uint32_t pinLength(const std::optional<Secret>& pin) { return pin ? pin->size() : 0; }

}  // namespace vokcli
