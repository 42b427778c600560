// vok-sim serve on a loopback port, driven by a small USB/IP client of this
// test: the list, an import and the data phase after it, and the error paths
// (a second importer, an unknown device, an unknown operation, another
// protocol version, a truncated request). The standard `usbip` client and a
// real kernel drive it in the guest of scripts/kernel-test.sh.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "serveHarness.h"
#include "support/tempDir.h"
#include "voksim/voksim.h"

using testsupport::TempDir;

namespace {

using namespace servetest;

class ServeTest : public ::testing::Test {
  protected:
    TempDir tree;
    std::string node = voksim::createToken(tree.path(), 1, 2);
    Server server{tree.path()};

    static Bytes import(const Client& client, const std::string& busid) {
        client.send(opRequest(kVersion, kOpReqImport, busid));
        return client.receive(8);
    }
};

TEST_F(ServeTest, ListsTheTokenAsTheUsbipClientReadsIt) {
    ASSERT_NE(server.port(), 0);
    const Client client(server.port());
    client.send(opRequest(0x0111, 0x8005));
    const Bytes reply = client.receive(12 + 312 + 4 + 1);
    ASSERT_EQ(reply.size(), 12U + 312 + 4) << "one device and one interface, then closed";
    EXPECT_EQ(big32(reply, 0), 0x01110005U);
    EXPECT_EQ(big32(reply, 4), 0U);
    EXPECT_EQ(big32(reply, 8), 1U);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&reply[12])), node);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&reply[12 + 256])), "1-2");
    EXPECT_EQ(big32(reply, 12 + 288), 1U) << "busnum";
    EXPECT_EQ(big32(reply, 12 + 292), 2U) << "devnum";
    EXPECT_EQ(big32(reply, 12 + 296), 3U) << "high speed";
    EXPECT_EQ(big32(reply, 12 + 300), 0xF0550401U) << "vendor and product";
    EXPECT_EQ(reply[12 + 311], 1) << "bNumInterfaces";
    EXPECT_EQ(reply[12 + 312], 0xFF) << "a vendor-specific interface";
}

TEST_F(ServeTest, ASecondImporterIsRefusedUntilTheFirstDisconnects) {
    auto first = std::make_unique<Client>(server.port());
    const Bytes granted = import(*first, "1-2");
    ASSERT_EQ(granted.size(), 8U);
    EXPECT_EQ(big32(granted, 0), 0x01110003U);
    EXPECT_EQ(big32(granted, 4), 0U);
    EXPECT_EQ(first->receive(312).size(), 312U);
    // The data phase on the same connection: GET_DESCRIPTOR (device).
    Bytes submit(48, 0);
    submit[3] = 1;    // CMD_SUBMIT
    submit[7] = 7;    // seqnum
    submit[15] = 1;   // in
    submit[27] = 18;  // transfer_buffer_length
    const uint8_t setup[8] = {0x80, 6, 0, 1, 0, 0, 18, 0};
    std::memcpy(submit.data() + 40, setup, sizeof setup);
    first->send(submit);
    const Bytes ret = first->receive(48 + 18);
    ASSERT_EQ(ret.size(), 66U);
    EXPECT_EQ(big32(ret, 0), 3U) << "RET_SUBMIT";
    EXPECT_EQ(big32(ret, 4), 7U);
    EXPECT_EQ(ret[48 + 8], 0x55) << "the token's vendor ID";

    const Client second(server.port());
    const Bytes busy = import(second, "1-2");
    ASSERT_EQ(busy.size(), 8U);
    EXPECT_EQ(big32(busy, 4), 2U) << "Device busy";
    EXPECT_TRUE(second.closedByServer());

    first.reset();  // disconnects: the device is released, soon or under load later
    uint32_t status = 2;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (status == 2 && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const Client third(server.port());
        const Bytes again = import(third, "1-2");
        status = again.size() == 8 ? big32(again, 4) : 99;
    }
    EXPECT_EQ(status, 0U);
}

struct BadRequest {
    const char* name;
    Bytes bytes;
    bool endSending;
    uint32_t replyStatus;  // 0xFFFFFFFF: closed without a reply
    const char* logged;
};

TEST_F(ServeTest, BadRequestsGetTheErrorStatusOrAClosedConnectionAndOthersGoOn) {
    const Bytes truncated = {0x01, 0x11, 0x80, 0x03, 0};
    const BadRequest cases[] = {
        {"unknown device", opRequest(0x0111, 0x8003, "9-9"), false, 4, "no such device"},
        {"unknown operation", opRequest(0x0111, 0x1234), false, 0xFFFFFFFF, "unknown operation"},
        {"other version", opRequest(0x0106, 0x8005), false, 0xFFFFFFFF, "USB/IP version 1.6"},
        {"truncated", truncated, true, 0xFFFFFFFF, "truncated request"},
    };
    for (const BadRequest& bad : cases) {
        const Client client(server.port());
        ASSERT_TRUE(client.connected()) << bad.name;
        client.send(bad.bytes);
        if (bad.endSending) client.endSending();
        const Bytes reply = client.receive(64);
        if (bad.replyStatus == 0xFFFFFFFF) {
            EXPECT_TRUE(reply.empty()) << bad.name;
        } else {
            ASSERT_EQ(reply.size(), 8U) << bad.name;
            EXPECT_EQ(big32(reply, 4), bad.replyStatus) << bad.name;
        }
    }
    const Client after(server.port());
    after.send(opRequest(0x0111, 0x8005));
    EXPECT_EQ(after.receive(12).size(), 12U) << "the server serves on";
    std::string output;
    EXPECT_EQ(server.stop(output), 0) << output;
    for (const BadRequest& bad : cases)
        EXPECT_NE(output.find(bad.logged), std::string::npos) << bad.name << "\n" << output;
}

TEST_F(ServeTest, StopsCleanlyOnSigtermWhileADeviceIsImported) {
    const Client client(server.port());
    ASSERT_EQ(big32(import(client, "1-2"), 4), 0U);
    ASSERT_EQ(client.receive(312).size(), 312U);
    std::string output;
    EXPECT_EQ(server.stop(output), 0) << output;
    EXPECT_NE(output.find("released 1-2"), std::string::npos) << output;
    EXPECT_TRUE(client.closedByServer());
}

TEST(ServeListen, BeyondLoopbackWarnsThatUsbipHasNoAuthentication) {
    TempDir tree;
    voksim::createToken(tree.path(), 1, 2);
    Server server(tree.path(), "0.0.0.0:0");
    std::string output;
    EXPECT_EQ(server.stop(output), 0);
    EXPECT_NE(output.find("no authentication"), std::string::npos) << output;
}

}  // namespace
