// vok-sim serve on a loopback port, and a small USB/IP client of the tests'
// own: the operation requests, the data-phase submits, and the server's
// output and exit status.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace servetest {

using Bytes = std::vector<uint8_t>;

// How long the tests wait for the server: far beyond its answer on any
// machine, however loaded, so that only a server that never answers fails.
inline constexpr int kPatienceMillis = 60000;

inline constexpr uint16_t kVersion = 0x0111;
inline constexpr uint16_t kOpReqDevlist = 0x8005;
inline constexpr uint16_t kOpReqImport = 0x8003;

inline uint32_t big32(const Bytes& bytes, size_t at) {
    return (uint32_t{bytes.at(at)} << 24) | (uint32_t{bytes.at(at + 1)} << 16) |
           (uint32_t{bytes.at(at + 2)} << 8) | bytes.at(at + 3);
}

inline void putBig32(Bytes& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

inline Bytes opRequest(uint16_t version, uint16_t code, const std::string& busid = {}) {
    // An import request carries a 32-byte bus ID after the 8-byte header.
    Bytes bytes(code == kOpReqImport ? 40 : 8, 0);
    putBig32(bytes, 0, (uint32_t{version} << 16) | code);
    if (code == kOpReqImport) {
        std::copy_n(busid.begin(), std::min<size_t>(busid.size(), 32), bytes.begin() + 8);
    }
    return bytes;
}

// A CMD_SUBMIT on the default pipe: `setup`, and `data` for a transfer to
// the device.
inline Bytes submit(uint32_t seqnum, bool toHost, const std::array<uint8_t, 8>& setup,
                    const Bytes& data = {}) {
    // Made at its full size: GCC 12 takes an insert after the header for an
    // overflow (-Warray-bounds) when it optimises.
    Bytes bytes(48 + data.size(), 0);
    putBig32(bytes, 0, 1);
    putBig32(bytes, 4, seqnum);
    putBig32(bytes, 12, toHost ? 1 : 0);
    putBig32(bytes, 24, setup[6] | (setup[7] << 8));
    std::copy(setup.begin(), setup.end(), bytes.begin() + 40);
    std::copy(data.begin(), data.end(), bytes.begin() + 48);
    return bytes;
}

// vok-sim serve TREE --listen ADDR [ARGS...], its port read from its first
// line; run as `user` unless that is -1.
class Server {
  public:
    explicit Server(const std::string& tree, const std::string& listen = "127.0.0.1:0",
                    const std::vector<std::string>& args = {},
                    uid_t user = static_cast<uid_t>(-1)) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        std::vector<std::string> words = {VOK_SIM_BINARY, "serve", tree, "--listen", listen};
        words.insert(words.end(), args.begin(), args.end());
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(out[1], 2);
            if (user != static_cast<uid_t>(-1) && (setgid(user) != 0 || setuid(user) != 0))
                _exit(126);
            std::vector<char*> argv;
            for (std::string& word : words) argv.push_back(word.data());
            argv.push_back(nullptr);
            execv(VOK_SIM_BINARY, argv.data());
            _exit(127);
        }
        close(out[1]);
        output_ = fdopen(out[0], "r");
        // Unbuffered, so that poll on the pipe tells whether a line is due.
        if (output_) setvbuf(output_, nullptr, _IONBF, 0);
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
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }
    // Stops reading the server's output: its next line meets a closed pipe.
    void closeOutput() {
        std::fclose(output_);
        output_ = nullptr;
    }
    // Reads the server's output up to the first line that holds `part` and
    // returns that line; empty when the server printed nothing for a minute or
    // ended first.
    std::string awaitLine(const std::string& part) {
        char line[512];
        pollfd ready{output_ ? fileno(output_) : -1, POLLIN, 0};
        while (output_ && poll(&ready, 1, kPatienceMillis) == 1 &&
               std::fgets(line, sizeof line, output_)) {
            text_ += line;
            if (std::strstr(line, part.c_str()) != nullptr) return line;
        }
        return {};
    }
    // The descriptors the server has open now.
    size_t descriptors() const {
        std::error_code error;
        const std::filesystem::directory_iterator entries("/proc/" + std::to_string(pid_) + "/fd",
                                                          error);
        return error ? 0 : static_cast<size_t>(std::distance(entries, {}));
    }
    // Waits (up to a minute) until the server has `count` descriptors open.
    bool awaitDescriptors(size_t count) const {
        for (int i = 0; i < kPatienceMillis / 50 && descriptors() != count; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return descriptors() == count;
    }
    // SIGTERM, then everything it printed and its exit status.
    int stop(std::string& output) {
        kill(pid_, SIGTERM);
        char line[512];
        while (output_ && std::fgets(line, sizeof line, output_)) text_ += line;
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        output = text_;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

  private:
    pid_t pid_ = -1;
    FILE* output_ = nullptr;
    uint16_t port_ = 0;
    std::string text_;
};

class Client {
  public:
    // `receiveBuffer` (when not 0) is set before connecting.
    explicit Client(uint16_t port, int receiveBuffer = 0) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const timeval timeout{kPatienceMillis / 1000, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (receiveBuffer != 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    int fd() const { return fd_; }
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
    // The header of the reply to a list request: 12 bytes, or fewer when
    // the server closed the connection.
    Bytes list() const {
        send(opRequest(kVersion, kOpReqDevlist));
        return receive(12);
    }
    // An import of `busid`: the reply's status, the device description read.
    uint32_t import(const std::string& busid) const {
        send(opRequest(kVersion, kOpReqImport, busid));
        const Bytes reply = receive(8);
        if (reply.size() != 8) return 0xFFFFFFFF;
        const uint32_t status = big32(reply, 4);
        if (status == 0) receive(312);
        return status;
    }
    // One vendor transfer on the data phase: the reply's data (empty for a
    // transfer to the token).
    Bytes vendorTransfer(uint32_t seqnum, bool toHost, uint16_t wValue,
                         const Bytes& packet = {}) const {
        const std::array<uint8_t, 8> setup = {static_cast<uint8_t>(toHost ? 0xC2 : 0x42),
                                              0,
                                              static_cast<uint8_t>(wValue),
                                              0,
                                              0,
                                              0,
                                              8,
                                              0};
        send(submit(seqnum, toHost, setup, packet));
        const Bytes reply = receive(48 + (toHost ? 8 : 0));
        return reply.size() > 48 ? Bytes(reply.begin() + 48, reply.end()) : Bytes{};
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

}  // namespace servetest
