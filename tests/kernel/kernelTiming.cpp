// The timing run of the test guest: the cost of one 8-byte control transfer
// through the real usbfs, bare (the floor), through libusb, and inside vok's
// own operations, with each one's ratio to the floor.
#include <fcntl.h>
#include <libusb.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

#include "guestTree.h"
#include "vok/vok.h"

namespace {

constexpr uint16_t kVendor = 0xF055;
constexpr uint16_t kProduct = 0x0401;
constexpr unsigned kPairs = 150;  // out/in pairs of the transfer loops
constexpr unsigned kOperations = 20;
constexpr unsigned kRounds = 6;

// A phase-0 packet of a read and its 8-byte reply: every pair is a fresh
// transaction that the token answers in full.
uint8_t packet[8] = {0x00, 0x31, 0, 0, 0, 0, 0, 0};

double seconds(const std::function<bool()>& body) {
    const auto start = std::chrono::steady_clock::now();
    if (!body()) return -1;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Row {
    std::string name;
    unsigned operations;
    uint64_t transfers;
    double totalSeconds;
};

double perTransferMicros(const Row& row) {
    return row.transfers ? row.totalSeconds * 1e6 / double(row.transfers) : 0;
}

uint64_t transfersOf(const std::string& node) {
    const auto state = voksim::readState(node);
    return state ? state->transferCount : 0;
}

}  // namespace

int main() {
    std::string path;
    for (const guest::UsbNode& node : guest::usbNodes())
        if (node.idVendor == kVendor && node.idProduct == kProduct && path.empty())
            path = node.path;
    const VokHandle handle = vokOpen(0);
    VokIdInfo info{};
    if (path.empty() || handle == 0xFFFFFFFF || vokGetInfo(handle, &info, sizeof info) != 0) {
        std::fprintf(stderr, "timing: no token found\n");
        return 1;
    }
    vokClose(handle);
    // The same token for every row: the one that vokOpen(0) takes.
    for (const guest::UsbNode& node : guest::usbNodes()) {
        if (node.idVendor != kVendor || node.idProduct != kProduct) continue;
        const int fd = open(node.path.c_str(), O_RDWR);
        uint8_t reply[16] = {};
        usbdevfs_ctrltransfer in{0xC2, 0, 0, 0, 16, 6000, reply};
        uint8_t info0[8] = {0x00, 0x30, 0, 0, 0, 0, 0, 0};
        usbdevfs_ctrltransfer out{0x42, 0, 0, 0, 8, 6000, info0};
        if (fd >= 0 && ioctl(fd, USBDEVFS_CONTROL, &out) == 8 &&
            ioctl(fd, USBDEVFS_CONTROL, &in) == 16 && std::memcmp(reply + 8, info.tokenId, 8) == 0)
            path = node.path;
        if (fd >= 0) close(fd);
    }
    const std::string node = guest::treeNodeOf(info.tokenId);
    voksim::setLogging(node, false);  // the log is not part of what is measured

    // Each row is measured in every round; a row's best round counts, so
    // that a stall of the emulator in one round does not set the figures.
    std::vector<Row> rows;
    const auto measure = [&](size_t row, const char* name, unsigned count,
                             const std::function<bool()>& op) {
        const uint64_t before = transfersOf(node);
        const double total = seconds([&] {
            for (unsigned i = 0; i < count; ++i)
                if (!op()) return false;
            return true;
        });
        const Row result{name, count, transfersOf(node) - before, total};
        if (row == rows.size()) rows.push_back(result);
        if (total < 0 || rows[row].totalSeconds < 0)
            rows[row].totalSeconds = -1;
        else if (total < rows[row].totalSeconds)
            rows[row] = result;
    };
    libusb_context* context = nullptr;
    libusb_device_handle* device = nullptr;
    if (libusb_init(&context) == 0)
        device = libusb_open_device_with_vid_pid(context, kVendor, kProduct);
    if (!device) std::fprintf(stderr, "timing: libusb cannot open the token\n");
    const int fd = open(path.c_str(), O_RDWR);
    const VokHandle h = vokOpen(0);
    VokIdResponse response{};
    std::vector<uint8_t> buffer(64, 0x5A);
    uint8_t reply[8];
    usbdevfs_ctrltransfer out{0x42, 0, 0, 0, 8, 6000, packet};
    usbdevfs_ctrltransfer in{0xC2, 0, 0, 0, 8, 6000, reply};
    for (unsigned round = 0; round < kRounds; ++round) {
        size_t row = 0;
        measure(row++, "bare USBDEVFS_CONTROL", kPairs * 2, [&, i = 0U]() mutable {
            return ioctl(fd, USBDEVFS_CONTROL, (i++ % 2) ? &in : &out) == 8;
        });
        measure(row++, "libusb_control_transfer", kPairs * 2, [&, i = 0U]() mutable {
            if (!device) return false;
            return (i++ % 2) ? libusb_control_transfer(device, 0xC2, 0, 0, 0, reply, 8, 6000) == 8
                             : libusb_control_transfer(device, 0x42, 0, 0, 0, packet, 8, 6000) == 8;
        });
        measure(row++, "vokRead 2 bytes", kOperations,
                [&] { return vokRead(h, nullptr, 0, 0, buffer.data(), 2, &response) == 0; });
        measure(row++, "vokRead 64 bytes", kOperations,
                [&] { return vokRead(h, nullptr, 0, 0, buffer.data(), 64, &response) == 0; });
        measure(row++, "vokWrite 64 bytes", kOperations,
                [&] { return vokWrite(h, nullptr, 0, 0, buffer.data(), 64, &response) == 0; });
        // What vok adds to every transaction: the node is opened and closed.
        measure(row++, "usbfs open + close", kOperations, [&] {
            const int opened = open(path.c_str(), O_RDWR);
            return opened >= 0 && close(opened) == 0;
        });
    }
    vokClose(h);
    close(fd);
    if (device) libusb_close(device);
    if (context) libusb_exit(context);
    measure(rows.size(), "vokOpen + vokClose", 5, [&] {
        const VokHandle opened = vokOpen(0);
        return opened != 0xFFFFFFFF && vokClose(opened) == 0;
    });
    voksim::setLogging(node, true);

    const double floor = perTransferMicros(rows.front());
    std::printf("%-26s %6s %10s %12s %12s %8s\n", "timing (real usbfs)", "ops", "transfers",
                "us per op", "us/transfer", "ratio");
    bool good = true;
    for (const Row& row : rows) {
        good = good && row.totalSeconds > 0;
        std::printf("%-26s %6u %10llu %12.1f", row.name.c_str(), row.operations,
                    static_cast<unsigned long long>(row.transfers),
                    row.totalSeconds * 1e6 / row.operations);
        if (row.transfers == 0) {
            std::printf(" %12s %8s\n", "-", "-");
        } else {
            std::printf(" %12.1f %8.3f\n", perTransferMicros(row), perTransferMicros(row) / floor);
        }
    }
    return good ? 0 : 1;
}
