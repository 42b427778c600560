// vok-sim serve on a loopback port, driven by a small USB/IP client of this
// test: the list, an import and the data phase after it, and the error paths
// (a second importer, an unknown device, an unknown operation, another
// protocol version, a truncated request). The standard `usbip` client and a
// real kernel drive it in the guest of scripts/kernel-test.sh.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "support/tempDir.h"
#include "voksim/voksim.h"

using testsupport::TempDir;

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t big32(const Bytes& bytes, size_t at) {
    return (uint32_t{bytes.at(at)} << 24) | (uint32_t{bytes.at(at + 1)} << 16) |
           (uint32_t{bytes.at(at + 2)} << 8) | bytes.at(at + 3);
}

Bytes opRequest(uint16_t version, uint16_t code, const std::string& busid = {}) {
    // An import request carries a 32-byte bus ID after the 8-byte header.
    Bytes bytes(code == 0x8003 ? 40 : 8, 0);
    bytes[0] = static_cast<uint8_t>(version >> 8);
    bytes[1] = static_cast<uint8_t>(version);
    bytes[2] = static_cast<uint8_t>(code >> 8);
    bytes[3] = static_cast<uint8_t>(code);
    if (code == 0x8003) {
        std::copy_n(busid.begin(), std::min<size_t>(busid.size(), 32), bytes.begin() + 8);
    }
    return bytes;
}

// vok-sim serve TREE --listen 127.0.0.1:0, its port read from its first line.
class Server {
  public:
    explicit Server(const std::string& tree, const std::string& listen = "127.0.0.1:0") {
        int out[2];
        if (pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(out[1], 2);
            execl(VOK_SIM_BINARY, VOK_SIM_BINARY, "serve", tree.c_str(), "--listen", listen.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        output_ = fdopen(out[0], "r");
        char line[512];
        while (output_ && std::fgets(line, sizeof line, output_)) {
            text_ += line;
            if (const char* at = std::strstr(line, "serving ")) {
                port_ = static_cast<uint16_t>(std::atoi(std::strrchr(at, ':') + 1));
                break;
            }
        }
    }
    ~Server() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (output_) std::fclose(output_);
    }
    uint16_t port() const { return port_; }
    // SIGTERM, then everything it printed and its exit status.
    int stop(std::string& output) {
        kill(pid_, SIGTERM);
        char line[512];
        while (std::fgets(line, sizeof line, output_)) text_ += line;
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        output = text_;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    pid_t pid_ = -1;
    FILE* output_ = nullptr;
    uint16_t port_ = 0;
    std::string text_;
};

class Client {
  public:
    explicit Client(uint16_t port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const timeval timeout{5, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { close(fd_); }
    bool connected() const { return connected_; }
    void send(const Bytes& bytes) const {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    void endSending() const { shutdown(fd_, SHUT_WR); }
    // Up to `length` bytes; fewer when the server closes the connection.
    Bytes receive(size_t length) const {
        Bytes bytes(length);
        size_t have = 0;
        while (have < length) {
            const ssize_t got = recv(fd_, bytes.data() + have, length - have, 0);
            if (got <= 0) break;
            have += static_cast<size_t>(got);
        }
        bytes.resize(have);
        return bytes;
    }
    bool closedByServer() const { return receive(1).empty(); }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

class ServeTest : public ::testing::Test {
  protected:
    TempDir tree;
    std::string node = voksim::createToken(tree.path(), 1, 2);
    Server server{tree.path()};

    Bytes import(const Client& client, const std::string& busid) {
        client.send(opRequest(0x0111, 0x8003, busid));
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

    first.reset();  // disconnects: the device is released
    uint32_t status = 2;
    for (int i = 0; i < 50 && status == 2; ++i) {
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
