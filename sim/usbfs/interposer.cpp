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

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "host/tokenRegistry.h"
#include "host/tokenTransfer.h"

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

void sleepMicros(uint64_t micros) {
    timespec duration{static_cast<time_t>(micros / 1000000),
                      static_cast<long>((micros % 1000000) * 1000)};
    while (nanosleep(&duration, &duration) != 0 && errno == EINTR) {
    }
}

TransferCaller callerOf(int fd) {
    return TransferCaller{openerOf(fd), static_cast<uint32_t>(getpid()), fd};
}

int controlTransfer(int fd, MappedToken& token, uint32_t generation, void* argument) {
    if (!argument) return failWith(EFAULT);
    usbdevfs_ctrltransfer setup;
    std::memcpy(&setup, argument, sizeof setup);
    if (setup.wLength > kMaxControlLength) return failWith(EINVAL);
    if (setup.wLength != 0 && !setup.data) return failWith(EFAULT);
    const bool toHost = (setup.bRequestType & 0x80) != 0;
    uint8_t buffer[kMaxControlLength];
    if (!toHost) std::memcpy(buffer, setup.data, setup.wLength);

    const ControlSetup model{setup.bRequestType, setup.bRequest, setup.wValue, setup.wIndex,
                             setup.wLength};
    const TransferResult outcome =
        tokenControlTransfer(token, generation, callerOf(fd), model, setup.timeout, buffer);
    const int32_t result = outcome.result;
    // The token runs on the application's stack: the PIN bytes and memory
    // words it handled must not stay there.
    const auto wipe = [&buffer, &setup] { explicit_bzero(buffer, setup.wLength); };
    if (result < 0) {
        wipe();
        if (outcome.waitOutTimeout) {
            sleepMicros(uint64_t{setup.timeout ? setup.timeout : kDefaultTimeoutMillis} * 1000);
        }
        return failWith(-result);
    }
    if (toHost && result > 0) std::memcpy(setup.data, buffer, static_cast<size_t>(result));
    wipe();
    return result;
}

int portReset(int fd, MappedToken& token, uint32_t generation) {
    const int32_t result = tokenPortReset(token, generation, callerOf(fd));
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
