#include "support.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace voksimtool {

namespace {

struct ErrnoName {
    const char* name;
    int value;
};

constexpr ErrnoName kErrnoNames[] = {
    {"EPIPE", EPIPE},   {"ETIMEDOUT", ETIMEDOUT}, {"ENODEV", ENODEV},       {"EPROTO", EPROTO},
    {"EIO", EIO},       {"EOVERFLOW", EOVERFLOW}, {"ESHUTDOWN", ESHUTDOWN}, {"EILSEQ", EILSEQ},
    {"ENOENT", ENOENT}, {"EINVAL", EINVAL},       {"EBUSY", EBUSY},
};

}  // namespace

int fail(const std::string& message) {
    (void)std::fprintf(stderr, "vok-sim: %s\n", message.c_str());  // nobody left to tell
    return 1;
}

sigset_t holdStopSignals() {
    (void)signal(SIGPIPE, SIG_IGN);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

bool parseErrno(const std::string& text, int& value) {
    for (const ErrnoName& entry : kErrnoNames) {
        if (text == entry.name) {
            value = entry.value;
            return true;
        }
    }
    char* end = nullptr;
    const long number = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || number <= 0 || number > 4095) return false;
    value = static_cast<int>(number);
    return true;
}

const char* errnoName(int value) {
    for (const ErrnoName& entry : kErrnoNames) {
        if (entry.value == value) return entry.name;
    }
    return nullptr;
}

bool parseTokenId(const std::string& text, uint8_t* out) {
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == '-') continue;
        digits += c;
    }
    if (digits.size() != 16) return false;
    for (size_t i = 0; i < 8; ++i) {
        char* end = nullptr;
        const std::string pair = digits.substr(2 * i, 2);
        const long value = std::strtol(pair.c_str(), &end, 16);
        if (*end != '\0' || pair.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            return false;
        }
        out[i] = static_cast<uint8_t>(value);
    }
    return true;
}

}  // namespace voksimtool
