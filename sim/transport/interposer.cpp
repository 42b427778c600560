// The ioctl interposer: USBDEVFS_CONTROL and USBDEVFS_RESET on a virtual
// token node go to the token model; every other call goes to the real ioctl.
//
// <sys/ioctl.h> is not included: its declaration of ioctl carries glibc's
// noexcept marking, and this file defines the function itself.
#include <dlfcn.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "tokenRegistry.h"
#include "transferLog.h"

namespace voksim {
namespace {

using IoctlFunction = int (*)(int, unsigned long, ...);

constexpr uint16_t kMaxControlLength = 4096;  // the kernel refuses longer control transfers
constexpr uint32_t kDefaultTimeoutMillis = 6000;

int realIoctl(int fd, unsigned long request, void* argument) {
    static std::atomic<IoctlFunction> next{nullptr};
    IoctlFunction function = next.load(std::memory_order_acquire);
    if (!function) {
        function = reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
        if (function) next.store(function, std::memory_order_release);
    }
    if (function) return function(fd, request, argument);
    return static_cast<int>(syscall(SYS_ioctl, fd, request, argument));
}

int failWith(int error) {
    errno = error;
    return -1;
}

uint64_t openerOf(int fd) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(getpid())) << 32) |
           static_cast<uint32_t>(fd);
}

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

void logTransfer(MappedToken& token, int fd, const usbdevfs_ctrltransfer& setup, int32_t result,
                 bool faulted, const uint8_t* bytes, size_t length) {
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
    header.timeout = setup.timeout;
    header.result = result < 0 ? -1 : result;
    header.error = result < 0 ? -result : 0;
    header.pid = static_cast<uint32_t>(getpid());
    header.fd = fd;
    appendToLog(token, header, bytes);
}

bool hitsTransfer(uint32_t wanted, uint64_t count) { return wanted != 0 && count == wanted; }

int controlTransfer(int fd, MappedToken& token, uint32_t generation, void* argument) {
    if (!argument) return failWith(EFAULT);
    usbdevfs_ctrltransfer setup;
    std::memcpy(&setup, argument, sizeof setup);
    if (setup.wLength > kMaxControlLength) return failWith(EINVAL);
    if (setup.wLength != 0 && !setup.data) return failWith(EFAULT);
    const bool toHost = (setup.bRequestType & 0x80) != 0;
    uint8_t buffer[kMaxControlLength];
    if (!toHost) std::memcpy(buffer, setup.data, setup.wLength);

    int32_t result = 0;
    bool faulted = false;
    bool waitOutTimeout = false;
    {
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
                waitOutTimeout = faults.realTimeouts && result == -ETIMEDOUT;
            } else {
                const ControlSetup model{setup.bRequestType, setup.bRequest, setup.wValue,
                                         setup.wIndex, setup.wLength};
                result =
                    modelControlTransfer(state, openerOf(fd), model, buffer, wallClockSeconds());
                if (result > 0 && hitsTransfer(faults.shortTransfer, count)) {
                    --result;
                    faulted = true;
                }
                if (toHost && result >= 1 && hitsTransfer(faults.statusTransfer, count)) {
                    // The token stops here with a status of its own, whatever the
                    // transaction was doing; the tag echo stays as the model put it.
                    buffer[0] = faults.statusValue;
                    modelPortReset(state, openerOf(fd));
                    faulted = true;
                }
                if (toHost && result >= 3 && hitsTransfer(faults.wrongTagTransfer, count)) {
                    buffer[2] = static_cast<uint8_t>(~buffer[2]);
                    faulted = true;
                }
            }
        }
        const size_t logged =
            toHost ? (result > 0 ? static_cast<size_t>(result) : 0) : setup.wLength;
        logTransfer(token, fd, setup, result, faulted, buffer, logged);
    }
    // The token runs on the application's stack: the PIN bytes and memory
    // words it handled must not stay there.
    const auto wipe = [&buffer, &setup] { explicit_bzero(buffer, setup.wLength); };
    if (result < 0) {
        wipe();
        if (waitOutTimeout) {
            sleepMicros(uint64_t{setup.timeout ? setup.timeout : kDefaultTimeoutMillis} * 1000);
        }
        return failWith(-result);
    }
    if (toHost && result > 0) std::memcpy(setup.data, buffer, static_cast<size_t>(result));
    wipe();
    return result;
}

int portReset(int fd, MappedToken& token, uint32_t generation) {
    TokenLock lock(token);
    TokenState& state = *token.state;
    int32_t result = 0;
    if (!state.plugged || state.generation != generation) {
        result = -ENODEV;
    } else {
        modelPortReset(state, openerOf(fd));
        ++state.resetCount;
    }
    if (state.logging && token.logFd >= 0) {
        LogRecordHeader header{};
        header.kind = 1;
        header.result = result < 0 ? -1 : 0;
        header.error = result < 0 ? -result : 0;
        header.pid = static_cast<uint32_t>(getpid());
        header.fd = fd;
        appendToLog(token, header, nullptr);
    }
    return result < 0 ? failWith(-result) : 0;
}

}  // namespace
}  // namespace voksim

extern "C" __attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (request != USBDEVFS_CONTROL && request != USBDEVFS_RESET) {
        return voksim::realIoctl(fd, request, argument);
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        return voksim::realIoctl(fd, request, argument);
    }
    const voksim::NodeBinding binding = voksim::bindDescriptor(fd, status);
    if (!binding.isNode) return voksim::realIoctl(fd, request, argument);
    if (!binding.token) return voksim::failWith(ENODEV);
    if (request == USBDEVFS_RESET) return voksim::portReset(fd, *binding.token, binding.generation);
    return voksim::controlTransfer(fd, *binding.token, binding.generation, argument);
}
