// The lock files of the device lock: a name (discovery uses the device path)
// is guarded by one of 97 files "vok00.lock" .. "vok96.lock", numbered by a
// weighted hash of the name. The device lock (mutex.cpp) and `vok doctor`,
// which looks for held lock files, both take the number and the name from
// here. Header-only, in src/common, so that the tool, a client of the public
// interface, compiles the same code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// The lock file's name, with "??" where the two decimal digits of the lock
// number go (positions 3 and 4, tens first).
#define VOK_LOCK_FILE_NAME_TEMPLATE "vok??.lock"

inline constexpr size_t kVokLockFileCount = 97;

// Byte i of the name, taken as a signed 8-bit value, times (i + 1), summed
// with 64-bit wrap-around, modulo 97.
constexpr size_t vokLockFileNumber(std::string_view name) {
    uint64_t sum = 0;
    for (size_t i = 0; i < name.size(); ++i) {
        // NOLINTNEXTLINE(bugprone-signed-char-misuse): the sign is part of the hash.
        sum += static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(name[i]))) * (i + 1);
    }
    return static_cast<size_t>(sum % kVokLockFileCount);
}

using VokLockFileName = std::array<char, sizeof(VOK_LOCK_FILE_NAME_TEMPLATE)>;

// The name of lock file `number` (below kVokLockFileCount), NUL-terminated.
constexpr VokLockFileName vokLockFileName(size_t number) {
    VokLockFileName name{};
    constexpr std::string_view kTemplate = VOK_LOCK_FILE_NAME_TEMPLATE;
    for (size_t i = 0; i < kTemplate.size(); ++i) name[i] = kTemplate[i];
    name[3] = static_cast<char>('0' + number / 10 % 10);
    name[4] = static_cast<char>('0' + number % 10);
    return name;
}
