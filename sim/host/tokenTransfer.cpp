#include "host/tokenTransfer.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "host/errorText.h"
#include "host/transferLog.h"

namespace voksim {
namespace {

int64_t wallClockSeconds() { return static_cast<int64_t>(time(nullptr)); }

void sleepMicros(uint64_t micros) {
    timespec duration{static_cast<time_t>(micros / 1000000),
                      static_cast<long>((micros % 1000000) * 1000)};
    while (nanosleep(&duration, &duration) != 0 && errno == EINTR) {
    }
}

// A log that cannot be written loses the record and the transfer goes on;
// the program's stderr hears of it once per token.
void appendToLog(MappedToken& token, const LogRecordHeader& header, const uint8_t* data) {
    if (appendLogRecord(token.logFd, header, data) || token.logFailureReported) return;
    const int error = errno;
    token.logFailureReported = true;
    char reason[128];
    char message[640];
    const int length = std::snprintf(
        message, sizeof message,
        "voksim: cannot write the transfer log %s (%s): records are lost\n", token.logPath.c_str(),
        error != 0 ? errorText(error, reason, sizeof reason) : "incomplete record");
    if (length <= 0) return;
    const size_t size = std::min(static_cast<size_t>(length), sizeof message - 1);
    // When stderr fails too, nobody is left to tell.
    while (write(STDERR_FILENO, message, size) < 0 && errno == EINTR) {
    }
}

void logTransfer(MappedToken& token, const TransferCaller& caller, const ControlSetup& setup,
                 uint32_t timeoutMillis, int32_t result, bool faulted, const uint8_t* bytes,
                 size_t length) {
    if (!token.state->logging || token.logFd < 0) return;
    LogRecordHeader header{};
    header.kind = 0;
    header.bRequestType = setup.bRequestType;
    header.bRequest = setup.bRequest;
    header.flags = faulted ? 1 : 0;
    header.wValue = setup.wValue;
    header.wIndex = setup.wIndex;
    header.wLength = setup.wLength;
    header.dataLength = static_cast<uint16_t>(length);
    header.timeout = timeoutMillis;
    header.result = result < 0 ? -1 : result;
    header.error = result < 0 ? -result : 0;
    header.pid = caller.pid;
    header.fd = caller.fd;
    appendToLog(token, header, bytes);
}

bool hitsTransfer(uint32_t wanted, uint64_t count) { return wanted != 0 && count == wanted; }

}  // namespace

TransferResult tokenControlTransfer(MappedToken& token, uint32_t generation,
                                    const TransferCaller& caller, const ControlSetup& setup,
                                    uint32_t timeoutMillis, uint8_t* buffer) {
    const bool toHost = (setup.bRequestType & 0x80) != 0;
    TransferResult outcome;
    int32_t& result = outcome.result;
    bool faulted = false;
    TokenLock lock(token);
    TokenState& state = *token.state;
    if (!state.plugged || state.generation != generation) {
        result = -ENODEV;
    } else {
        ++state.transferCount;
        const uint64_t count = ++state.faultTransferCount;
        const FaultSettings& faults = state.faults;
        if (faults.latencyMicros) sleepMicros(faults.latencyMicros);
        const bool fail =
            faults.failTransfer != 0 &&
            (count == faults.failTransfer || (faults.failAll && count > faults.failTransfer));
        if (fail) {
            result = -(faults.failErrno > 0 ? faults.failErrno : EPIPE);
            faulted = true;
            outcome.waitOutTimeout = faults.realTimeouts && result == -ETIMEDOUT;
        } else {
            result = modelControlTransfer(state, caller.opener, setup, buffer, wallClockSeconds());
            if (result > 0 && hitsTransfer(faults.shortTransfer, count)) {
                --result;
                faulted = true;
            }
            if (toHost && result >= 1 && hitsTransfer(faults.statusTransfer, count)) {
                // The token stops here with a status of its own, whatever the
                // transaction was doing; the tag echo stays as the model put it.
                buffer[0] = faults.statusValue;
                modelPortReset(state, caller.opener);
                faulted = true;
            }
            if (toHost && result >= 3 && hitsTransfer(faults.wrongTagTransfer, count)) {
                buffer[2] = static_cast<uint8_t>(~buffer[2]);
                faulted = true;
            }
        }
    }
    const size_t logged = toHost ? (result > 0 ? static_cast<size_t>(result) : 0) : setup.wLength;
    logTransfer(token, caller, setup, timeoutMillis, result, faulted, buffer, logged);
    return outcome;
}

int32_t tokenPortReset(MappedToken& token, uint32_t generation, const TransferCaller& caller) {
    TokenLock lock(token);
    TokenState& state = *token.state;
    int32_t result = 0;
    if (!state.plugged || state.generation != generation) {
        result = -ENODEV;
    } else {
        modelPortReset(state, caller.opener);
        ++state.resetCount;
    }
    if (state.logging && token.logFd >= 0) {
        LogRecordHeader header{};
        header.kind = 1;
        header.result = result < 0 ? -1 : 0;
        header.error = result < 0 ? -result : 0;
        header.pid = caller.pid;
        header.fd = caller.fd;
        appendToLog(token, header, nullptr);
    }
    return result;
}

void tokenBusReset(MappedToken& token) {
    TokenLock lock(token);
    modelAbortAll(*token.state);
}

}  // namespace voksim
