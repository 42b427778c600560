// vok-sim serve's connection limits, per address and per network, against
// connections from many loopback addresses (all of 127.0.0.0/8 reaches a
// server on 127.0.0.1) that never send a request.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "serveHarness.h"
#include "support/tempDir.h"
#include "voksim/voksim.h"

namespace {

using namespace servetest;

// A connection to the server on 127.0.0.1:`port` from `source`.
class Idle {
  public:
    Idle(const std::string& source, uint16_t port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        inet_pton(AF_INET, source.c_str(), &from.sin_addr);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
                     connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    }
    ~Idle() { close(fd_); }
    Idle(const Idle&) = delete;
    Idle& operator=(const Idle&) = delete;

    int fd() const { return fd_; }
    bool connected() const { return connected_; }
    // Whether the server has closed it by now (without waiting).
    bool closed() const {
        uint8_t byte = 0;
        return recv(fd_, &byte, 1, MSG_DONTWAIT) == 0;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

// The header of the reply to a list request sent at once from `source`.
Bytes listFrom(const std::string& source, uint16_t port) {
    const Idle client(source, port);
    const Bytes request = opRequest(kVersion, kOpReqDevlist);
    if (send(client.fd(), request.data(), request.size(), MSG_NOSIGNAL) != 8) return {};
    Bytes reply(12);
    size_t have = 0;
    for (ssize_t got = 1; have < reply.size() && got > 0; have += static_cast<size_t>(got))
        got = std::max<ssize_t>(recv(client.fd(), reply.data() + have, reply.size() - have, 0), 0);
    reply.resize(have);
    return reply;
}

struct LimitCase {
    const char* name;
    const char* listen;
    std::vector<std::pair<const char*, int>> idle;  // sources and counts, in order
    const char* newcomer;
    size_t victim;  // which idle connection makes room for the newcomer
};

void PrintTo(const LimitCase& limit, std::ostream* out) { *out << limit.name; }

const LimitCase kLimits[] = {
    {"TheAddressLimitTakesFromThatAddress",
     "127.0.0.1:0",
     {{"127.0.0.2", 1}, {"127.0.0.1", 16}},
     "127.0.0.1",
     1},
    {"TheNetworkLimitTakesFromThatNetwork",
     "127.0.0.1:0",
     {{"127.0.1.1", 1}, {"127.0.0.2", 16}, {"127.0.0.3", 16}},
     "127.0.0.4",
     1},
    {"AMappedAddressCountsInItsIpv4Network",
     "[::]:0",
     {{"127.0.1.1", 1}, {"127.0.0.2", 16}, {"127.0.0.3", 16}},
     "127.0.0.4",
     1},
};

class ServeLimitsTest : public ::testing::TestWithParam<LimitCase> {};

// The newcomer is served, and by the time it is, the one connection that
// made room is closed and every other one is still open.
TEST_P(ServeLimitsTest, OneWaitingConnectionMakesRoomAtOnce) {
    const LimitCase& limit = GetParam();
    const testsupport::TempDir tree;
    voksim::createToken(tree.path(), 1, 2);
    Server server(tree.path(), limit.listen);
    ASSERT_NE(server.port(), 0);
    std::vector<std::unique_ptr<Idle>> idle;
    for (const auto& [source, count] : limit.idle) {
        for (int i = 0; i < count; ++i) {
            idle.push_back(std::make_unique<Idle>(source, server.port()));
            ASSERT_TRUE(idle.back()->connected()) << source;
        }
    }
    ASSERT_EQ(listFrom(limit.newcomer, server.port()).size(), 12u) << "the newcomer was refused";
    for (size_t i = 0; i < idle.size(); ++i)
        EXPECT_EQ(idle[i]->closed(), i == limit.victim) << "connection " << i;
}

INSTANTIATE_TEST_SUITE_P(Limits, ServeLimitsTest, ::testing::ValuesIn(kLimits),
                         [](const ::testing::TestParamInfo<LimitCase>& info) {
                             return std::string(info.param.name);
                         });

// Idle connections from 32 addresses of one network, far more than the
// server holds; between them a client that sends its request at once is
// answered every time.
TEST(ServeFloodTest, AClientThatAsksAtOnceIsAnsweredUnderAnIdleFlood) {
    const testsupport::TempDir tree;
    voksim::createToken(tree.path(), 1, 2);
    Server server(tree.path());
    ASSERT_NE(server.port(), 0);
    std::vector<std::unique_ptr<Idle>> flood;
    for (int i = 0; i < 400; ++i) {
        flood.push_back(
            std::make_unique<Idle>("127.0.0." + std::to_string(1 + i % 32), server.port()));
        if (flood.size() > 64) flood.erase(flood.begin());  // those long since closed
        if (i % 20 == 19) {
            ASSERT_EQ(listFrom("127.0.0.1", server.port()).size(), 12u) << "after " << i;
        }
    }
}

}  // namespace
