// The library's capture: usbmon-style pcap records of its control transfers.
#include "diagnostics/capture.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/openAboveStdio.h"
#include "common/tokenUsbId.h"
#include "common/usbmonRecord.h"
#include "common/vokAssert.h"
#include "common/wireFacts.h"
#include "diagnostics/trace.h"

namespace {

constexpr int kUnknown = -2;
constexpr int kOff = -1;
constexpr size_t kRecordSize = sizeof(vokpcap::RecordHeader) + vokpcap::kUsbmonHeaderSize;
constexpr size_t kMaxData = vokwire::kLongReplySize;
constexpr size_t kSeenDevices = 32;

std::atomic<int> gFd{kUnknown};
std::atomic<bool> gShowPins{false};
std::atomic<uint32_t> gNextUrb{1};
// Devices whose descriptor this process has written: bus << 16 | address.
std::atomic<uint32_t> gSeen[kSeenDevices];
pthread_mutex_t gOpenLock = PTHREAD_MUTEX_INITIALIZER;

bool starts_with_our_header(int fd) {
    vokpcap::FileHeader header{};
    return pread(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
           header.magic == vokpcap::kMagic && header.linkType == vokpcap::kLinkTypeUsbLinuxMmapped;
}

// Writes the file header into an empty file; two processes starting at once
// are ordered by an advisory lock. A file that holds something else is left
// alone.
bool prepare_file(int fd) {
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) return false;
    }
    struct stat status {};
    bool ready = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    if (ready && status.st_size == 0) {
        const vokpcap::FileHeader header = {
            vokpcap::kMagic,      vokpcap::kVersionMajor,           vokpcap::kVersionMinor, 0, 0,
            vokpcap::kSnapLength, vokpcap::kLinkTypeUsbLinuxMmapped};
        ready = write(fd, &header, sizeof header) == static_cast<ssize_t>(sizeof header);
    } else if (ready) {
        ready = starts_with_our_header(fd);
        if (!ready) errno = EINVAL;
    }
    const int error = errno;
    (void)flock(fd, LOCK_UN);
    errno = error;
    return ready;
}

int open_from_environment() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read once, under gOpenLock
    const char* path = secure_getenv("VOK_CAPTURE");
    if (path == nullptr || path[0] == '\0') return kOff;
    const char* pins = secure_getenv("VOK_CAPTURE_PINS");  // NOLINT(concurrency-mt-unsafe)
    gShowPins.store(pins != nullptr && std::strcmp(pins, "1") == 0);
    const int fd = vokOpenAboveStdio(
        path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
    if (fd < 0) {
        vokTraceFailure("VOK_CAPTURE cannot be opened; no capture", path);
        return kOff;
    }
    if (!prepare_file(fd)) {
        vokTraceFailure("VOK_CAPTURE is neither empty nor a usbmon capture; no capture", path);
        (void)close(fd);
        return kOff;
    }
    return fd;
}

int capture_fd() {
    const int fd = gFd.load(std::memory_order_acquire);
    if (fd != kUnknown) return fd;
    int r = pthread_mutex_lock(&gOpenLock);
    VOK_ASSERT(r == 0);
    if (gFd.load(std::memory_order_relaxed) == kUnknown) {
        gFd.store(open_from_environment(), std::memory_order_release);
    }
    r = pthread_mutex_unlock(&gOpenLock);
    VOK_ASSERT(r == 0);
    return gFd.load(std::memory_order_acquire);
}

// Bus and address from /dev/bus/usb/BBB/DDD (0 and 0 for another path).
void bus_and_address(const char* path, uint16_t* bus, uint8_t* address) {
    *bus = 0;
    *address = 0;
    if (path == nullptr) return;
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr || slash == path) return;
    const char* busStart = slash - 1;
    while (busStart > path && busStart[-1] != '/') --busStart;
    char* end = nullptr;
    const unsigned long busNumber = std::strtoul(busStart, &end, 10);
    if (end != slash) return;
    const unsigned long addressNumber = std::strtoul(slash + 1, &end, 10);
    if (*end != '\0' || busNumber > UINT16_MAX || addressNumber > 127) return;
    *bus = static_cast<uint16_t>(busNumber);
    *address = static_cast<uint8_t>(addressNumber);
}

// One pcap record (record header and usbmon header) at `out`, `data` after it.
size_t put_record(uint8_t* out, vokpcap::UsbmonHeader header, const timespec& when,
                  const uint8_t* data) {
    header.transferType = vokpcap::kTransferControl;
    header.seconds = when.tv_sec;
    header.micros = static_cast<int32_t>(when.tv_nsec / 1000);
    const vokpcap::RecordHeader record = {
        static_cast<uint32_t>(when.tv_sec), static_cast<uint32_t>(when.tv_nsec / 1000),
        static_cast<uint32_t>(vokpcap::kUsbmonHeaderSize + header.capturedLength),
        static_cast<uint32_t>(vokpcap::kUsbmonHeaderSize + header.capturedLength)};
    std::memcpy(out, &record, sizeof record);
    std::memcpy(out + sizeof record, &header, sizeof header);
    if (header.capturedLength != 0 && data != nullptr) {
        std::memcpy(out + kRecordSize, data, header.capturedLength);
    }
    return kRecordSize + header.capturedLength;
}

// A submission and its completion, appended in one write.
struct Exchange {
    vokpcap::UsbmonHeader submit{};
    vokpcap::UsbmonHeader complete{};
    const uint8_t* outData = nullptr;
    const uint8_t* inData = nullptr;
};

void append(int fd, Exchange& exchange, const timespec& submitted, const timespec& completed) {
    uint8_t buffer[2 * (kRecordSize + vokpcap::kDeviceDescriptorSize)];
    const uint64_t urb =
        (static_cast<uint64_t>(getpid()) << 32) | gNextUrb.fetch_add(1, std::memory_order_relaxed);
    exchange.submit.id = exchange.complete.id = urb;
    exchange.submit.type = vokpcap::kEventSubmit;
    exchange.complete.type = vokpcap::kEventComplete;
    size_t used = put_record(buffer, exchange.submit, submitted, exchange.outData);
    used += put_record(buffer + used, exchange.complete, completed, exchange.inData);
    const int savedErrno = errno;
    ssize_t written = 0;
    do {
        written = write(fd, buffer, used);
    } while (written < 0 && errno == EINTR);
    explicit_bzero(buffer, sizeof buffer);
    errno = savedErrno;  // a lost record must not change what the caller sees
}

void write_descriptor(int fd, uint16_t bus, uint8_t address, uint16_t productId) {
    uint8_t descriptor[vokpcap::kDeviceDescriptorSize] = {18, 1, 0x00, 0x02, 0xFF, 0, 0, 64, 0,
                                                          0,  0, 0,    0,    0,    1, 2, 0,  1};
    descriptor[vokpcap::kDescriptorVendor] = static_cast<uint8_t>(kVokVendorId);
    descriptor[vokpcap::kDescriptorVendor + 1] = static_cast<uint8_t>(kVokVendorId >> 8);
    descriptor[vokpcap::kDescriptorProduct] = static_cast<uint8_t>(productId);
    descriptor[vokpcap::kDescriptorProduct + 1] = static_cast<uint8_t>(productId >> 8);
    Exchange exchange;
    for (vokpcap::UsbmonHeader* h : {&exchange.submit, &exchange.complete}) {
        h->endpoint = vokpcap::kEndpointIn;
        h->device = address;
        h->bus = bus;
        h->transferFlags = vokpcap::kUrbDirectionIn;
        h->length = vokpcap::kDeviceDescriptorSize;
    }
    exchange.submit.flagSetup = vokpcap::kSetupPresent;
    std::memcpy(exchange.submit.setup, vokpcap::kGetDescriptorSetup, 8);
    exchange.submit.flagData = vokpcap::kDataIncoming;
    exchange.submit.status = vokpcap::kStatusInProgress;
    exchange.complete.flagSetup = vokpcap::kSetupAbsent;
    exchange.complete.flagData = vokpcap::kDataPresent;
    exchange.complete.capturedLength = vokpcap::kDeviceDescriptorSize;
    exchange.inData = descriptor;
    const timespec now = vokCaptureNow();
    append(fd, exchange, now, now);
}

// Whether this process has written the descriptor of the device (marks it).
bool seen_before(uint16_t bus, uint8_t address) {
    const uint32_t key = (static_cast<uint32_t>(bus) << 16) | address | 0x100u;
    for (std::atomic<uint32_t>& slot : gSeen) {
        uint32_t current = slot.load(std::memory_order_relaxed);
        if (current == key) return true;
        if (current == 0 && slot.compare_exchange_strong(current, key)) return false;
        if (current == key) return true;
    }
    return false;  // table full: write it again, which does no harm
}

}  // namespace

bool vokCaptureOn() { return capture_fd() >= 0; }

timespec vokCaptureNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

void vokCaptureTransfer(const VokCapturedTransfer& t) {
    const int fd = capture_fd();
    if (fd < 0) return;
    uint16_t bus = 0;
    uint8_t address = 0;
    bus_and_address(t.devicePath, &bus, &address);
    if (!seen_before(bus, address)) write_descriptor(fd, bus, address, t.productId);
    const timespec completed = vokCaptureNow();

    uint8_t data[kMaxData] = {};
    const size_t moved = t.toToken ? t.length : (t.result > 0 ? static_cast<size_t>(t.result) : 0);
    const size_t kept = moved < kMaxData ? moved : kMaxData;
    if (t.bytes != nullptr) std::memcpy(data, t.bytes, kept);
    if (!gShowPins.load(std::memory_order_relaxed)) {
        for (size_t i = 0; i < kept; ++i) {
            if (vokwire::maskedByte(t.command, t.phase, t.toToken, i))
                data[i] = vokwire::kMaskedByte;
        }
    }
    Exchange exchange;
    for (vokpcap::UsbmonHeader* h : {&exchange.submit, &exchange.complete}) {
        h->endpoint = t.toToken ? 0 : vokpcap::kEndpointIn;
        h->device = address;
        h->bus = bus;
        h->transferFlags = t.toToken ? 0 : vokpcap::kUrbDirectionIn;
    }
    vokpcap::UsbmonHeader& s = exchange.submit;
    s.flagSetup = vokpcap::kSetupPresent;
    s.setup[0] = t.toToken ? vokwire::kRequestTypeToToken : vokwire::kRequestTypeFromToken;
    s.setup[1] = vokwire::kRequest;
    s.setup[2] = static_cast<uint8_t>(t.value);
    s.setup[3] = static_cast<uint8_t>(t.value >> 8);
    s.setup[6] = static_cast<uint8_t>(t.length);
    s.setup[7] = static_cast<uint8_t>(t.length >> 8);
    s.status = vokpcap::kStatusInProgress;
    s.length = static_cast<uint32_t>(t.length);
    s.flagData = t.toToken ? vokpcap::kDataPresent : vokpcap::kDataIncoming;
    s.capturedLength = t.toToken ? static_cast<uint32_t>(kept) : 0;
    vokpcap::UsbmonHeader& c = exchange.complete;
    c.flagSetup = vokpcap::kSetupAbsent;
    c.status = t.result < 0 ? -t.error : 0;
    c.length = t.result > 0 ? static_cast<uint32_t>(t.result) : 0;
    c.flagData = t.toToken ? vokpcap::kDataOutgoing : vokpcap::kDataPresent;
    c.capturedLength = t.toToken ? 0 : static_cast<uint32_t>(kept);
    exchange.outData = data;
    exchange.inData = data;
    append(fd, exchange, t.submitted, completed);
    explicit_bzero(data, sizeof data);
}

void vokCaptureReset(const char* devicePath, uint16_t productId) {
    const int fd = capture_fd();
    if (fd < 0) return;
    uint16_t bus = 0;
    uint8_t address = 0;
    bus_and_address(devicePath, &bus, &address);
    (void)seen_before(bus, address);
    write_descriptor(fd, bus, address, productId);
}

void vokCaptureForget() {
    int r = pthread_mutex_lock(&gOpenLock);
    VOK_ASSERT(r == 0);
    const int fd = gFd.exchange(kUnknown);
    if (fd >= 0) (void)close(fd);
    for (std::atomic<uint32_t>& slot : gSeen) slot.store(0);
    r = pthread_mutex_unlock(&gOpenLock);
    VOK_ASSERT(r == 0);
}
