// Public interface: vokStatusString, the text of every status a call can
// return.
#include <cstddef>
#include <cstdint>

#include "vok/vok.h"

namespace {

constexpr char kTokenStatusPattern[] = "token status 0xNN";

// One constant text per status byte, made at compile time, so that looking a
// text up needs no allocation and no lock.
struct TokenStatusTexts {
    char text[256][sizeof(kTokenStatusPattern)];
};

constexpr TokenStatusTexts make_token_status_texts() {
    constexpr char hexDigits[] = "0123456789ABCDEF";
    constexpr std::size_t firstDigit = sizeof(kTokenStatusPattern) - 3;
    TokenStatusTexts texts{};
    for (std::size_t status = 0; status < 256; ++status) {
        for (std::size_t i = 0; i < sizeof(kTokenStatusPattern); ++i)
            texts.text[status][i] = kTokenStatusPattern[i];
        texts.text[status][firstDigit] = hexDigits[status >> 4];
        texts.text[status][firstDigit + 1] = hexDigits[status & 0x0F];
    }
    return texts;
}

constexpr TokenStatusTexts kTokenStatusTexts = make_token_status_texts();

}  // namespace

const char* vokStatusString(uint32_t status) {
    switch (status) {
        case VOK_STATUS_OK:
            return "success";
        case VOK_STATUS_BAD_ARGUMENT:
            return "bad argument";
        case VOK_STATUS_TRANSFER_FAILED:
            return "exchange with the token failed";
        case VOK_STATUS_UNKNOWN_MEMORY_MODEL:
            return "unknown memory model";
        case VOK_STATUS_BAD_HANDLE:
            return "no open handle of that number";
        default:
            break;
    }
    // The library and the token produce only byte-sized statuses.
    if (status > 0xFF) return "unknown status";
    return kTokenStatusTexts.text[status];
}
