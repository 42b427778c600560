// Fuzz target: the public functions against a malicious token. Every reply
// byte, every transfer's outcome (an error, a short transfer, a stall), the
// transaction tag echoes and the memory geometry come from the input; the
// library is linked in statically and this file stands in for ioctl, so the
// transport is the fuzzer's. The input is a script read front to back:
//   the transport takes, per control transfer, one mode byte (see transfer)
//   and, for a transfer from the token, the reply bytes;
//   the driver takes, per call, an operation byte and its arguments.
// Both read from one stream, so inputs interleave calls and replies freely.
// When the input runs out every transfer fails, so each input ends.
//
// Checked after every call: the status is one the library documents (a
// library status or a byte from the token), a failed read left the caller's
// buffer as it was, no descriptor is left open, no handle lock, device lock
// or global section is left held. Sanitizers catch any access outside the
// caller's buffers (each is allocated at its exact size).
//
// <sys/ioctl.h> is not included: its declaration of ioctl carries glibc's
// noexcept marking, and this file defines the function itself.
#include <fcntl.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "handles/handleManager.h"
#include "handles/sortArray.h"
#include "lock/mutexInternal.h"
#include "vok/vok.h"

namespace {

struct Script {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t at = 0;

    bool exhausted() const { return at >= size; }
    uint8_t byte() { return exhausted() ? 0 : data[at++]; }
    uint32_t number(uint32_t bound) {  // 0 .. bound - 1, from up to three bytes
        uint32_t value = byte();
        if (bound > 0x100) value = (value << 8) | byte();
        if (bound > 0x10000) value = (value << 8) | byte();
        return bound == 0 ? 0 : value % bound;
    }
};

Script script;

void fail(const char* what) {
    std::fprintf(stderr, "malicious token: %s\n", what);
    std::abort();
}

// Reply bytes: mostly from the input, with the help a real token would give
// (an echoed tag, a success status) when the mode asks, so that inputs reach
// every phase.
int transfer(usbdevfs_ctrltransfer* setup) {
    if (script.exhausted()) {
        errno = EPIPE;
        return -1;
    }
    const uint8_t mode = script.byte();
    const bool fromToken = (setup->bRequestType & 0x80) != 0;
    auto* bytes = static_cast<uint8_t*>(setup->data);
    switch (mode % 8) {
        case 0: {
            static const int kErrors[] = {EPIPE, ETIMEDOUT, ENODEV, EPROTO, EIO, EOVERFLOW};
            errno = kErrors[(mode >> 3) % 6];
            return -1;
        }
        case 1: {
            const uint32_t length = script.number(setup->wLength + 1u);
            if (fromToken) {
                for (uint32_t i = 0; i < length; ++i) bytes[i] = script.byte();
            }
            return static_cast<int>(length);
        }
        default:
            if (fromToken) {
                for (uint32_t i = 0; i < setup->wLength; ++i) bytes[i] = script.byte();
                if (mode % 8 >= 4 && setup->wLength > 2 && setup->wValue != 0) {
                    bytes[2] = static_cast<uint8_t>(setup->wValue);
                }
                if (mode % 8 >= 6 && setup->wLength > 0) bytes[0] = 0;
                if (mode % 8 == 7 && setup->wLength > 4) bytes[4] %= 3;  // a known model
            }
            return setup->wLength;
    }
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (fcntl(fd, F_GETFD) < 0) {  // a transfer on a closed descriptor
        fail("ioctl on a descriptor that is not open");
    }
    if (request == USBDEVFS_RESET) {
        if (script.byte() % 2 == 0) return 0;
        errno = EIO;
        return -1;
    }
    if (request != USBDEVFS_CONTROL) {
        errno = ENOTTY;
        return -1;
    }
    return transfer(static_cast<usbdevfs_ctrltransfer*>(argument));
}

// The initialise command waits seconds for a token that stopped answering.
extern "C" unsigned int sleep(unsigned int) { return 0; }

namespace {

// A usbfs tree with one accepted node and a lock directory, made once.
void makeTree() {
    static bool made = false;
    if (made) return;
    made = true;
    char pattern[] = "/tmp/vok-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) fail("mkdtemp");
    const std::string root = pattern;
    if (mkdir((root + "/usb").c_str(), 0755) != 0 ||
        mkdir((root + "/usb/001").c_str(), 0755) != 0 ||
        mkdir((root + "/locks").c_str(), 0755) != 0) {
        fail("mkdir");
    }
    const uint8_t descriptor[18] = {18, 1, 0, 2, 0, 0, 0, 64, 0x55, 0xF0, 0x01, 0x04, 0, 1};
    FILE* node = std::fopen((root + "/usb/001/002").c_str(), "wb");
    if (node == nullptr || std::fwrite(descriptor, 1, sizeof descriptor, node) != sizeof descriptor)
        fail("node");
    std::fclose(node);
    setenv("USB_DEVFS_PATH", (root + "/usb").c_str(), 1);
    setenv("VOK_IPC_NAME", (root + "/locks").c_str(), 1);
}

// The lowest descriptor number that is free: it moves if a call leaks one.
int lowestFreeDescriptor() {
    const int probe = dup(0);
    if (probe >= 0) close(probe);
    return probe;
}

void checkNothingHeld(VokHandle handle) {
    if (vokMutexPoolCount() != 0) fail("a device lock is still held");
    const uint32_t global = __atomic_load_n(&gCriticalSection.locked, __ATOMIC_SEQ_CST);
    if (global > 2) fail("the handle table's section is still entered");
    if (handle == VOK_INVALID_HANDLE) return;
    const auto* entry = static_cast<const VokHandleEntry*>(vokSortArrayFind(handle));
    if (entry == nullptr) fail("the open handle went missing");
    if (__atomic_load_n(&entry->entryLock.locked, __ATOMIC_SEQ_CST) > 2) {
        fail("a handle is still locked");
    }
}

void checkStatus(uint32_t status) {
    if (status > 0xFF) fail("a status that is neither the library's nor a token byte");
}

struct Arguments {
    std::vector<uint8_t> pin;
    std::vector<uint8_t> newPin;
    BLOCK_ID block;
    uint32_t offset;
    uint32_t length;
    const void* pinOrNull() const { return pin.empty() ? nullptr : pin.data(); }
    const void* newPinOrNull() const { return newPin.empty() ? nullptr : newPin.data(); }
};

Arguments readArguments() {
    Arguments a;
    a.pin.resize(script.number(40));
    for (uint8_t& b : a.pin) b = script.byte();
    a.newPin.resize(script.number(40));
    for (uint8_t& b : a.newPin) b = script.byte();
    a.block = static_cast<BLOCK_ID>(script.number(7));
    a.offset = script.byte() == 0xFF ? 0xFFFFFFF0u + script.number(16) : script.number(70000);
    a.length = script.number(70000);
    return a;
}

// A read into a buffer of exactly `length` bytes: a failed one must leave it
// as it was.
uint32_t checkedRead(VokHandle handle, const Arguments& a, bool viaBlock) {
    const uint32_t length = a.length == 0 ? 1 : a.length;
    std::vector<uint8_t> buffer(length, 0xEE);
    VokIdResponse response;
    const uint32_t status = viaBlock ? vokReadEx(handle, a.block, a.pinOrNull(), a.pin.size(),
                                                 a.offset, buffer.data(), length, &response)
                                     : vokRead(handle, a.pinOrNull(), a.pin.size(), a.offset,
                                               buffer.data(), length, &response);
    if (status != VOK_STATUS_OK) {
        for (uint8_t b : buffer) {
            if (b != 0xEE) fail("a failed read changed the caller's buffer");
        }
    }
    return status;
}

uint32_t runCommand(VokHandle handle) {
    const uint32_t length = VOK_REQUEST_HEADER_SIZE + script.number(VOK_REQUEST_DATA_SIZE + 1);
    std::vector<uint8_t> record(length);
    for (size_t i = 0; i < record.size() && i < 160; ++i) record[i] = script.byte();
    vokCommand(handle, reinterpret_cast<TDRVREQUEST_MEK*>(record.data()), length);
    return record[offsetof(TDRVREQUEST_MEK, status)];
}

uint32_t runOperation(VokHandle handle, uint8_t operation) {
    const Arguments a = readArguments();
    VokIdResponse r;
    const uint32_t pinLength = static_cast<uint32_t>(a.pin.size());
    const uint32_t newPinLength = static_cast<uint32_t>(a.newPin.size());
    uint16_t word = 0;
    uint8_t p[4];
    switch (operation % 17) {
        case 0:
            return checkedRead(handle, a, false);
        case 1:
            return checkedRead(handle, a, true);
        case 2:
        case 3: {
            std::vector<uint8_t> bytes(a.length == 0 ? 1 : a.length, 0x5A);
            return operation % 17 == 2 ? vokWrite(handle, a.pinOrNull(), pinLength, a.offset,
                                                  bytes.data(), a.length, &r)
                                       : vokWriteEx(handle, a.block, a.pinOrNull(), pinLength,
                                                    a.offset, bytes.data(), a.length, &r);
        }
        case 4: {
            VokIdInfo info;
            return vokGetInfo(handle, &info, sizeof info);
        }
        case 5:
            return runCommand(handle);
        case 6:
            return vokGetVendorId(handle, a.block, &word, &r);
        case 7:
            return vokSetVendorId(handle, a.block, a.pinOrNull(), pinLength, word, &r);
        case 8:
            return vokGetBlockAttr(handle, a.block, &word, &r);
        case 9:
            return vokSetBlockAttr(handle, a.block, a.pinOrNull(), pinLength,
                                   static_cast<RW_PERMISSIONS>(a.offset % 5), &word, &r);
        case 10:
            return vokLockBlock(handle, a.block, a.pinOrNull(), pinLength,
                                static_cast<ACCESS>(a.offset % 4), &r);
        case 11:
            return vokSetPin(handle, static_cast<TYPE_PIN>(a.offset % 3), a.block, a.pinOrNull(),
                             pinLength, a.newPinOrNull(), newPinLength, &r);
        case 12:
            return vokSetBlockPinUse(handle, a.block, a.pinOrNull(), pinLength,
                                     static_cast<PIN_USE>(a.offset % 3),
                                     static_cast<PIN_SET_PERMISSIONS>(a.length % 3), &r);
        case 13:
            return vokSetSecParameters(handle, a.pinOrNull(), pinLength, script.byte(),
                                       script.byte(), script.byte(), script.byte(), &r);
        case 14:
            return vokGetSecParameters(handle, &p[0], &p[1], &p[2], &p[3], &r);
        case 15:
            return vokInitialize(handle, a.pinOrNull(), pinLength, a.newPinOrNull(), newPinLength,
                                 (a.offset & 1) != 0, &r);
        default:
            return vokInitializeBlock(handle, static_cast<TYPE_PIN>(a.offset % 3), a.block,
                                      a.pinOrNull(), pinLength, a.newPinOrNull(), newPinLength,
                                      static_cast<uint16_t>(a.length), (a.offset & 2) != 0, &r);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    makeTree();
    script = Script{input, size, 0};
    const int freeBefore = lowestFreeDescriptor();

    VokHandle handle = vokOpen(0);
    checkNothingHeld(handle);
    for (int calls = 0; calls < 32 && !script.exhausted(); ++calls) {
        const uint8_t operation = script.byte();
        if (handle == VOK_INVALID_HANDLE || operation == 0xFF) {
            if (handle != VOK_INVALID_HANDLE && vokClose(handle) != VOK_STATUS_OK) {
                fail("closing an open handle failed");
            }
            handle = vokOpen(0);
        } else {
            checkStatus(runOperation(handle, operation));
        }
        checkNothingHeld(handle);
        if (lowestFreeDescriptor() != freeBefore) fail("a call left a descriptor open");
    }
    if (handle != VOK_INVALID_HANDLE && vokClose(handle) != VOK_STATUS_OK) {
        fail("closing an open handle failed");
    }
    if (lowestFreeDescriptor() != freeBefore) fail("a descriptor was left open");
    return 0;
}
