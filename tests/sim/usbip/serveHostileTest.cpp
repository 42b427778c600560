// vok-sim serve against clients that misbehave and conditions that a server
// meets in the field. Each case plays one scene, checks what it must, and
// then the server must still answer a list and stop cleanly.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

#include "serveHarness.h"
#include "support/tempDir.h"
#include "voksim/voksim.h"

namespace {

using namespace servetest;

struct Scene {
    testsupport::TempDir tree;
    std::string node = voksim::createToken(tree.path(), 1, 2);
    std::unique_ptr<Server> server;
    int exitStatus = 0;  // when stopped after the scene

    void start(const std::vector<std::string>& args = {}, uid_t user = static_cast<uid_t>(-1)) {
        server = std::make_unique<Server>(tree.path(), "127.0.0.1:0", args, user);
        ASSERT_NE(server->port(), 0);
    }
};

// A read of 16 words, opened by one client through its PIN and token-ID
// phases; the next importer, knowing the tag, asks for the rest of it.
void staleTransaction(Scene& scene) {
    scene.start();
    const size_t idle = scene.server->descriptors();
    uint8_t tag = 0;
    {
        const Client first(scene.server->port());
        ASSERT_EQ(first.import("1-2"), 0u);
        first.vendorTransfer(1, false, 0, {0x00, 0x31, 0, 0, 0, 0, 0, 0});
        const Bytes opened = first.vendorTransfer(2, true, 0);
        ASSERT_EQ(opened.size(), 8u);
        tag = opened[2];
        uint32_t seqnum = 3;
        const auto phase = [&](uint8_t number, const uint8_t* payload, int packets) {
            for (int i = 0; i < packets; ++i) {
                const uint8_t* four = payload + 4 * i;
                first.vendorTransfer(seqnum++, false, 0,
                                     {number, tag, four[0], four[1], four[2], four[3], 0, 0});
            }
            ASSERT_EQ(first.vendorTransfer(seqnum++, true, tag).at(0), 0) << "phase " << +number;
        };
        const uint8_t pin[32] = {};
        phase(1, pin, 8);
        phase(2, voksim::Identity{}.tokenId, 2);
        const uint8_t header[4] = {0, 0, 16, 0};
        phase(3, header, 1);  // the header, then the first of eight replies
    }
    // Alone on the server, the next connection gets the last one's descriptor.
    ASSERT_TRUE(scene.server->awaitDescriptors(idle));
    const Client next(scene.server->port());
    ASSERT_EQ(next.import("1-2"), 0u);
    const Bytes taken = next.vendorTransfer(1, true, tag);
    ASSERT_EQ(taken.size(), 8u);
    EXPECT_NE(taken[0], 0) << "the next importer read on in the last one's transaction";
}

// A symbolic-link loop in the tree: an entry that cannot be examined.
void linkLoopInTheTree(Scene& scene) {
    ASSERT_EQ(symlink("loop", (scene.tree / "001/loop").c_str()), 0);
    scene.start();
    const Bytes listed = Client(scene.server->port()).list();
    ASSERT_EQ(listed.size(), 12u);
    EXPECT_EQ(big32(listed, 8), 1u) << "the token, and not the loop";
}

// --record DIR, where another user planted a link under the name of the
// first connection's capture file.
void recordThroughAPlantedLink(Scene& scene) {
    const testsupport::TempDir record;
    const std::string victim = record / "victim";
    { std::ofstream(victim) << "keep"; }
    ASSERT_EQ(symlink(victim.c_str(), (record / "conn1.usbip").c_str()), 0);
    scene.start({"--record", record.path()});
    EXPECT_EQ(Client(scene.server->port()).list().size(), 12u);
    std::string kept;
    std::ifstream(victim) >> kept;
    EXPECT_EQ(kept, "keep");
    EXPECT_NE(scene.server->awaitLine("cannot record to"), "");
}

// A bus ID with a line break, which would forge a line of the server's log.
void busIdWithALineBreak(Scene& scene) {
    scene.start();
    const Client client(scene.server->port());
    EXPECT_EQ(client.import("1-2\nforged"), 4u) << "no such device";
    EXPECT_NE(scene.server->awaitLine("import of '1-2\\x0aforged' refused"), "");
}

// The server's output is a pipe whose reader has gone.
void outputClosed(Scene& scene) {
    scene.start();
    scene.server->closeOutput();
    EXPECT_EQ(Client(scene.server->port()).list().size(), 12u) << "its line goes nowhere";
    scene.exitStatus = 1;  // as for any output that was lost
}

// Sets the soft limit on the processes of `pid`'s user, from a child that
// runs as that user and group (lowering and raising a soft limit needs no
// privilege).
bool limitProcesses(pid_t pid, uid_t user, rlim_t limit) {
    const pid_t child = fork();
    if (child == 0) {
        rlimit current{};
        const bool done = setgid(user) == 0 && setuid(user) == 0 &&
                          prlimit(pid, RLIMIT_NPROC, nullptr, &current) == 0;
        const rlimit wanted{std::min(limit, current.rlim_max), current.rlim_max};
        _exit(done && prlimit(pid, RLIMIT_NPROC, &wanted, nullptr) == 0 ? 0 : 1);
    }
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// No thread can be started for a connection: the server runs as nobody,
// who may have no more processes than the one it is.
void noThreadForAConnection(Scene& scene) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the server as another user";
    scene.start({}, 65534);
    const size_t idle = scene.server->descriptors();
    ASSERT_TRUE(limitProcesses(scene.server->pid(), 65534, 1));
    {
        const Client refused(scene.server->port());
        EXPECT_TRUE(refused.closedByServer());
    }
    EXPECT_NE(scene.server->awaitLine("no thread to serve it"), "");
    EXPECT_TRUE(scene.server->awaitDescriptors(idle)) << "the refused socket was kept open";
    ASSERT_TRUE(limitProcesses(scene.server->pid(), 65534, RLIM_INFINITY));
}

// The time process `pid` has spent on a CPU, in nanoseconds.
uint64_t cpuNanos(pid_t pid) {
    uint64_t nanos = 0;
    std::ifstream("/proc/" + std::to_string(pid) + "/schedstat") >> nanos;
    return nanos;
}

// The server is out of descriptors, so accepting a waiting connection fails.
void outOfDescriptors(Scene& scene) {
    scene.start();
    const pid_t pid = scene.server->pid();
    rlim_t lowestFree = 0;
    while (access(("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(lowestFree)).c_str(),
                  F_OK) == 0)
        ++lowestFree;
    rlimit before{};
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, nullptr, &before), 0);
    const rlimit none{lowestFree, before.rlim_max};
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &none, nullptr), 0);
    const Client waiting(scene.server->port());
    EXPECT_NE(scene.server->awaitLine("accept: Too many open files"), "");
    const uint64_t spent = cpuNanos(pid);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(cpuNanos(pid) - spent, 250'000'000u) << "the accept loop spins";
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &before, nullptr), 0);
    EXPECT_EQ(waiting.list().size(), 12u) << "the waiting connection is served";
}

// A client that imports, sends requests and never reads a reply: once the
// server's sends stall, the server drops it (how soon is the send limit's
// own test), and serves others meanwhile.
void stopsReading(Scene& scene) {
    scene.start();
    const Client client(scene.server->port(), 4096);
    ASSERT_EQ(client.import("1-2"), 0u);
    const Bytes one = submit(1, true, {0x80, 6, 0, 1, 0, 0, 18, 0});  // GET_DESCRIPTOR (device)
    Bytes requests;
    for (int i = 0; i < 400000; ++i) requests.insert(requests.end(), one.begin(), one.end());
    size_t sent = 0;
    bool othersServed = false;
    pollfd writable{client.fd(), POLLOUT, 0};
    while (true) {
        const int ready = poll(&writable, 1, othersServed ? 60000 : 1000);
        if (ready == 0 && !othersServed) {  // the server stopped reading
            EXPECT_EQ(Client(scene.server->port()).list().size(), 12u) << "the others wait";
            othersServed = true;
            continue;
        }
        ASSERT_EQ(ready, 1) << "not dropped in a minute";
        ASSERT_LT(sent, requests.size()) << "the server read every request";
        const ssize_t taken = ::send(client.fd(), requests.data() + sent, requests.size() - sent,
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
        if (taken < 0 && errno != EAGAIN && errno != EINTR) break;  // dropped
        if (taken > 0) sent += static_cast<size_t>(taken);
    }
    EXPECT_NE(scene.server->awaitLine("released 1-2"), "");
}

// 64 connections from one address that never send a request, then a list.
void idleConnectionsFillTheTable(Scene& scene) {
    scene.start();
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 64; ++i) idle.push_back(std::make_unique<Client>(scene.server->port()));
    EXPECT_EQ(Client(scene.server->port()).list().size(), 12u) << "refused: no slot was free";
    uint8_t byte = 0;
    EXPECT_EQ(recv(idle.front()->fd(), &byte, 1, 0), 0) << "the oldest idle one made room";
}

struct HostileCase {
    const char* name;
    void (*play)(Scene&);
};

void PrintTo(const HostileCase& hostile, std::ostream* out) { *out << hostile.name; }

const HostileCase kCases[] = {
    {"ATransactionEndsWithItsImport", staleTransaction},
    {"AnEntryThatCannotBeExaminedIsLeftOut", linkLoopInTheTree},
    {"ARecordFileIsNotOpenedThroughALink", recordThroughAPlantedLink},
    {"ABusIdIsLoggedEscaped", busIdWithALineBreak},
    {"AClosedOutputDoesNotEndTheServer", outputClosed},
    {"AConnectionWithoutAThreadIsClosed", noThreadForAConnection},
    {"OutOfDescriptorsTheAcceptLoopWaits", outOfDescriptors},
    {"AClientThatStopsReadingIsDropped", stopsReading},
    {"IdleConnectionsMakeRoomForANewOne", idleConnectionsFillTheTable},
};

class ServeHostileTest : public ::testing::TestWithParam<HostileCase> {};

TEST_P(ServeHostileTest, TheServerHoldsAndServesOn) {
    Scene scene;
    GetParam().play(scene);
    if (HasFatalFailure() || !scene.server) return;
    const Bytes listed = Client(scene.server->port()).list();
    ASSERT_EQ(listed.size(), 12u) << "no list after the scene";
    EXPECT_EQ(big32(listed, 4), 0u);
    std::string output;
    EXPECT_EQ(scene.server->stop(output), scene.exitStatus) << output;
}

INSTANTIATE_TEST_SUITE_P(Cases, ServeHostileTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<HostileCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
