// The USB/IP device side, driven over a socket pair the way vhci-hcd drives
// it: enumeration, vendor transfers to the token model, stalls, unlinks,
// re-enumeration as a reset, refused input, and detaching.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "support/tempDir.h"
#include "usbip/socketSend.h"
#include "usbip/usbipDevice.h"
#include "usbip/usbipProtocol.h"
#include "voksim/voksim.h"

using testsupport::TempDir;
using voksim::usbip::ServeEnd;

namespace {

void put32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}
uint32_t get32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

struct Reply {
    uint32_t command = 0;
    uint32_t seqnum = 0;
    int32_t status = 0;
    std::vector<uint8_t> data;
};

// The kernel's end of the socket pair, with a device served on the other end.
class UsbipTest : public ::testing::Test {
  protected:
    TempDir tree;
    std::string node = voksim::createToken(tree.path(), 1, 2);
    std::string foreign = voksim::createForeignDevice(tree.path(), 1, 3, 0x1234, 0x5678);
    int kernel = -1;
    int device = -1;
    std::atomic<bool> stop{false};
    std::thread server;
    voksim::usbip::ServeOutcome outcome;
    uint32_t seqnum = 0;

    void serve(const std::string& path) {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        kernel = pair[0];
        device = pair[1];
        std::string error;
        auto served = voksim::usbip::openServedDevice(path, error);
        ASSERT_TRUE(served) << error;
        server = std::thread([this, served = *served] {
            outcome = voksim::usbip::serveDevice(device, served, stop);
            close(device);
        });
    }
    void TearDown() override {
        stop = true;
        if (server.joinable()) server.join();
        if (kernel >= 0) close(kernel);
    }
    // Waits for the server to end of itself.
    void finish() {
        server.join();
        char byte;
        EXPECT_EQ(read(kernel, &byte, 1), 0) << "the device side closed the connection";
    }
    void send(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(write(kernel, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::vector<uint8_t> submitBytes(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                                     uint16_t length, const std::vector<uint8_t>& out = {}) {
        std::vector<uint8_t> bytes;
        put32(bytes, voksim::usbip::kCmdSubmit);
        put32(bytes, ++seqnum);
        put32(bytes, 0x10002);
        put32(bytes, (type & 0x80) ? 1 : 0);
        put32(bytes, 0);
        put32(bytes, 0);
        put32(bytes, length);
        put32(bytes, 0);
        put32(bytes, 0);
        put32(bytes, 0);
        const uint8_t setup[8] = {type,
                                  request,
                                  static_cast<uint8_t>(value),
                                  static_cast<uint8_t>(value >> 8),
                                  static_cast<uint8_t>(index),
                                  static_cast<uint8_t>(index >> 8),
                                  static_cast<uint8_t>(length),
                                  static_cast<uint8_t>(length >> 8)};
        bytes.insert(bytes.end(), setup, setup + 8);
        bytes.insert(bytes.end(), out.begin(), out.end());
        return bytes;
    }
    bool readable(int millis) {
        pollfd entry{kernel, POLLIN, 0};
        return poll(&entry, 1, millis) == 1;
    }
    Reply receive() {
        Reply reply;
        uint8_t header[48];
        EXPECT_TRUE(readable(60000)) << "no reply in a minute";
        if (recv(kernel, header, sizeof header, MSG_WAITALL) != 48) return reply;
        reply.command = get32(header);
        reply.seqnum = get32(header + 4);
        reply.status = static_cast<int32_t>(get32(header + 20));
        const uint32_t length = get32(header + 24);
        if (reply.command == voksim::usbip::kRetSubmit && length != 0 && reply.status == 0 &&
            lastWasIn) {
            reply.data.resize(length);
            EXPECT_EQ(recv(kernel, reply.data.data(), length, MSG_WAITALL), length);
        }
        return reply;
    }
    bool lastWasIn = false;
    Reply control(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length,
                  const std::vector<uint8_t>& out = {}) {
        lastWasIn = (type & 0x80) != 0;
        send(submitBytes(type, request, value, index, length, out));
        Reply reply = receive();
        EXPECT_EQ(reply.command, voksim::usbip::kRetSubmit);
        EXPECT_EQ(reply.seqnum, seqnum);
        return reply;
    }
    Reply packet(std::vector<uint8_t> bytes) { return control(0x42, 0, 0, 0, 8, bytes); }
    Reply answer(uint16_t length, uint16_t tag) { return control(0xC2, 0, tag, 0, length); }
};

TEST_F(UsbipTest, EnumerationSeesTheTokensIdsAndOneVendorInterface) {
    serve(node);
    const Reply device = control(0x80, 6, 0x0100, 0, 64);
    ASSERT_EQ(device.data.size(), 18U);
    EXPECT_EQ(device.data[7], 64) << "high-speed default pipe";
    EXPECT_EQ(std::vector<uint8_t>(device.data.begin() + 8, device.data.begin() + 14),
              (std::vector<uint8_t>{0x55, 0xF0, 0x01, 0x04, 0x00, 0x01}));
    const Reply configuration = control(0x80, 6, 0x0200, 0, 255);
    ASSERT_EQ(configuration.data.size(), 18U);
    EXPECT_EQ(configuration.data[2], 18);
    EXPECT_EQ(configuration.data[9 + 5], 0xFF) << "vendor-specific interface";
    EXPECT_EQ(control(0x80, 6, 0x0300, 0, 255).data, (std::vector<uint8_t>{4, 3, 0x09, 0x04}));
    EXPECT_EQ(control(0x80, 6, 0x0302, 0x0409, 255).data.size(), 2U + 2 * 13);
    EXPECT_EQ(control(0x80, 6, 0x0600, 0, 10).status, -EPIPE) << "no device qualifier";
    EXPECT_EQ(control(0x00, 9, 1, 0, 0).status, 0);
    EXPECT_EQ(control(0x80, 8, 0, 0, 1).data, std::vector<uint8_t>{1});
    EXPECT_EQ(control(0x80, 0, 0, 0, 2).data, (std::vector<uint8_t>{0, 0}));
}

TEST_F(UsbipTest, AForeignDeviceEnumeratesWithItsOwnIdsAndStallsVendorRequests) {
    serve(foreign);
    const Reply device = control(0x80, 6, 0x0100, 0, 18);
    ASSERT_EQ(device.data.size(), 18U);
    EXPECT_EQ(device.data[8] | (device.data[9] << 8), 0x1234);
    EXPECT_EQ(device.data[10] | (device.data[11] << 8), 0x5678);
    EXPECT_EQ(packet({0, '8', 1, 0, 0, 0, 0, 0}).status, -EPIPE);
}

TEST_F(UsbipTest, VendorTransfersReachTheModelAndItsLog) {
    serve(node);
    EXPECT_EQ(packet({0x00, '8', 1, 0, 0, 0, 0, 0}).status, 0);
    const Reply reply = answer(16, 0);
    ASSERT_EQ(reply.data.size(), 16U);
    EXPECT_EQ(reply.data[0], voksim::kStatusOk);
    EXPECT_EQ(control(0xC2, 1, 0, 0, 8).status, -EPIPE) << "a request the token does not know";
    const std::vector<voksim::LogEntry> log = voksim::readLog(node);
    ASSERT_EQ(log.size(), 3U);
    EXPECT_EQ(log[0].bRequestType, 0x42);
    EXPECT_EQ(log[0].data, (std::vector<uint8_t>{0x00, '8', 1, 0, 0, 0, 0, 0}));
    EXPECT_EQ(log[1].data, reply.data);
    EXPECT_EQ(log[2].error, EPIPE);
}

TEST_F(UsbipTest, FaultsStallOrWithholdAndTheKernelsUnlinkIsAnswered) {
    serve(node);
    voksim::Faults faults;
    faults.failTransfer = 1;
    ASSERT_TRUE(voksim::setFaults(node, faults));
    EXPECT_EQ(packet({0x00, '8', 1, 0, 0, 0, 0, 0}).status, -EPIPE);
    faults.failErrno = ETIMEDOUT;
    faults.realTimeouts = true;
    ASSERT_TRUE(voksim::setFaults(node, faults));
    send(submitBytes(0x42, 0, 0, 0, 8, {0x00, '8', 1, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(readable(300)) << "a timed-out request is not answered";
    const uint32_t withheld = seqnum;
    for (const uint32_t target : {withheld, withheld - 1}) {
        std::vector<uint8_t> unlink;
        for (const uint32_t word : {voksim::usbip::kCmdUnlink, ++seqnum, 0x10002U, 0U, 0U, target})
            put32(unlink, word);
        unlink.resize(48);
        send(unlink);
        const Reply reply = receive();
        EXPECT_EQ(reply.command, voksim::usbip::kRetUnlink);
        EXPECT_EQ(reply.seqnum, seqnum);
        EXPECT_EQ(reply.status, target == withheld ? -ECONNRESET : 0);
    }
}

// The kernel reads the device descriptor again only after a port reset
// (USBDEVFS_RESET): the token's transaction ends there, and the log shows it.
TEST_F(UsbipTest, ReEnumerationEndsTheTransactionInProgress) {
    serve(node);
    ASSERT_EQ(control(0x00, 9, 1, 0, 0).status, 0);
    for (const bool reEnumerate : {false, true}) {
        ASSERT_EQ(packet({0x00, '3', 0, 0, 0, 0, 0, 0}).status, 0);
        const uint8_t tag = answer(8, 0).data.at(2);
        if (reEnumerate) {
            EXPECT_EQ(control(0x80, 6, 0x0100, 0, 64).data.size(), 18U);
            EXPECT_EQ(control(0x00, 9, 1, 0, 0).status, 0);
        }
        for (int i = 0; i < 8; ++i) packet({0x01, tag, 0, 0, 0, 0, 0, 0});
        EXPECT_EQ(answer(8, tag).data.at(0), reEnumerate ? voksim::kStatusProtocolError : 0);
        voksim::modifyState(node, [](voksim::TokenState& state) { voksim::modelAbortAll(state); });
    }
    const std::vector<voksim::LogEntry> log = voksim::readLog(node);
    EXPECT_EQ(
        std::count_if(log.begin(), log.end(),
                      [](const auto& entry) { return entry.kind == voksim::LogEntry::kReset; }),
        1);
}

TEST_F(UsbipTest, MalformedOrTruncatedInputIsRefusedAndTheConnectionClosed) {
    const auto submit = [this](uint32_t word, uint32_t at) {
        std::vector<uint8_t> bytes = submitBytes(0xC2, 0, 0, 0, 8);
        for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(word >> (24 - 8 * i));
        return bytes;
    };
    const std::vector<std::vector<uint8_t>> inputs = {
        submit(7, 0),      // unknown command
        submit(2, 12),     // direction
        submit(16, 16),    // endpoint
        submit(3, 32),     // isochronous packets
        submit(5000, 24),  // longer than a page
        std::vector<uint8_t>(submitBytes(0x42, 0, 0, 0, 8, {1, 2}).size(), 0x01),
        submitBytes(0x42, 0, 0, 0, 8, {1, 2, 3}),  // data cut short
        std::vector<uint8_t>(20, 0),               // header cut short
    };
    for (const auto& input : inputs) {
        serve(node);
        send(input);
        shutdown(kernel, SHUT_WR);
        finish();
        EXPECT_EQ(outcome.end, ServeEnd::kMalformed) << outcome.message;
        EXPECT_NE(outcome.message.find("refused"), std::string::npos) << outcome.message;
        close(kernel);
        kernel = -1;
    }
}

TEST_F(UsbipTest, UnplugOrADeletedTreeDetachesTheDevice) {
    serve(node);
    EXPECT_EQ(control(0x80, 6, 0x0100, 0, 18).status, 0);
    ASSERT_TRUE(voksim::unplug(node));
    finish();
    EXPECT_EQ(outcome.end, ServeEnd::kUnplugged) << outcome.message;
    close(kernel);
    ASSERT_TRUE(voksim::replug(node));
    serve(node);
    ASSERT_EQ(std::remove(voksim::statePathOf(node).c_str()), 0);
    finish();
    EXPECT_EQ(outcome.end, ServeEnd::kStateGone) << outcome.message;
}

// A peer that takes a few bytes now and then cannot stretch the time limit:
// it covers the whole buffer, not each partial send. The reader gives up
// after a minute, far beyond the limit under any load.
TEST(SocketSendTest, ATrickleDoesNotStretchTheLimit) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    const int smallest = 1;  // the kernel takes its floor
    ASSERT_EQ(setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest), 0);
    std::atomic<bool> gaveUp{false};
    std::thread trickle([reader = pair[1], &gaveUp] {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        uint8_t some[1024];
        while (recv(reader, some, sizeof some, 0) > 0) {
            if (std::chrono::steady_clock::now() > giveUp) {
                gaveUp = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        close(reader);
    });
    const std::vector<uint8_t> lots(16 << 20);
    EXPECT_FALSE(voksim::usbip::sendWithin(pair[0], lots, std::chrono::milliseconds(200)));
    close(pair[0]);
    trickle.join();
    EXPECT_FALSE(gaveUp) << "the send went on for a minute";
}

}  // namespace
