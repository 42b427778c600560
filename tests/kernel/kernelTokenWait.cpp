// Waiting for a busy token through a real kernel's usbfs: one process writes
// a range for longer than VOK_TOKEN_WAIT_LIMIT_MS while another makes small
// reads. The reader queues for its turn (a read lock of one byte of the usbfs
// node, far beyond any data, taken with F_OFD_SETLK), finds the writer as the
// holder of the node's flock in /proc/locks, sees it make progress, and waits
// past the limit instead of failing.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "guestTree.h"
#include "vok/vok.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kWriteBytes = 24576;
// About 6,300 transfers of at least 2 ms each: the write holds the token for
// over 12 s.
constexpr uint32_t kLatencyMicros = 2000;
constexpr uint32_t kReaderAddress = 40000;
constexpr uint32_t kReaderBytes = 16;
// Where the queue's places start (the library's token queue).
constexpr long long kQueueStart = 1LL << 62;

std::vector<uint8_t> bytes_of(size_t length, unsigned seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 9));
    return bytes;
}

// Whether /proc/locks lists a lock of `kind` and `access` on `node`, of
// process `pid` (any if 0), starting at `startAtLeast` or beyond. A line:
// "3: OFDLCK ADVISORY READ -1 00:05:187 4611686018427387904 4611686018427387904".
bool listed(const struct stat& node, const std::string& kind, const std::string& access, int pid,
            long long startAtLeast) {
    std::ifstream file("/proc/locks");
    for (std::string text; std::getline(file, text);) {
        char kindSeen[16] = {};
        char accessSeen[16] = {};
        int pidSeen = 0;
        unsigned major_number = 0;
        unsigned minor_number = 0;
        unsigned long long inode = 0;
        long long start = 0;
        // A blocked waiter's line ("-> ...") does not parse.
        if (std::sscanf(text.c_str(), "%*[^:]: %15s %*15s %15s %d %x:%x:%llu %lld", kindSeen,
                        accessSeen, &pidSeen, &major_number, &minor_number, &inode, &start) == 7 &&
            makedev(major_number, minor_number) == node.st_dev && inode == node.st_ino &&
            kind == kindSeen && access == accessSeen && (pid == 0 || pidSeen == pid) &&
            start >= startAtLeast) {
            return true;
        }
    }
    return false;
}

// Looks every 20 ms until `seen` holds or `child` has ended.
template <typename Seen>
bool seen_while_running(pid_t child, Seen seen) {
    for (;;) {
        siginfo_t ended{};
        if (waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOHANG | WNOWAIT) != 0 ||
            ended.si_pid != 0) {
            return false;
        }
        if (seen()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// The usbfs node that vokOpen(index) opens.
std::string token_path(uint32_t index) {
    std::vector<VokTokenEntry> entries(4);
    uint32_t count = 0;
    if (vokListTokens(entries.data(), 4, &count) != 0 || count <= index) return {};
    return entries[index].path;
}

struct ReaderFigures {
    long reads = 0;
    long failures = 0;  // failed calls and differing bytes
    long long longestMicros = 0;
};

// A child's start: opens its handle, says so on `ready`, and returns it when
// `gate` closes.
VokHandle open_and_wait(int ready, int gate) {
    const VokHandle handle = vokOpen(0);
    char go = 0;
    if (handle == VOK_INVALID_HANDLE || write(ready, "+", 1) != 1 || read(gate, &go, 1) != 0) {
        _exit(100);
    }
    return handle;
}

// The reader's process: reads until `stop` closes; its figures go to `out`.
[[noreturn]] void run_reader(int ready, int gate, int stop, int out) {
    const VokHandle handle = open_and_wait(ready, gate);
    ReaderFigures figures;
    const std::vector<uint8_t> expected = bytes_of(kReaderBytes, 7);
    pollfd stopped{stop, POLLIN, 0};
    do {
        std::vector<uint8_t> back(kReaderBytes);
        VokIdResponse response{};
        const auto asked = Clock::now();
        const uint32_t status =
            vokRead(handle, nullptr, 0, kReaderAddress, back.data(), kReaderBytes, &response);
        const long long micros =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - asked).count();
        figures.failures += status != 0 || back != expected;
        figures.longestMicros = std::max(figures.longestMicros, micros);
        ++figures.reads;
    } while (poll(&stopped, 1, 0) == 0);
    vokClose(handle);
    _exit(write(out, &figures, sizeof figures) == sizeof figures ? 0 : 101);
}

// The writer's process: writes the whole range; exits with the status.
[[noreturn]] void run_writer(int ready, int gate) {
    const VokHandle handle = open_and_wait(ready, gate);
    const std::vector<uint8_t> bytes = bytes_of(kWriteBytes, 3);
    VokIdResponse response{};
    const uint32_t status = vokWrite(handle, nullptr, 0, 0, bytes.data(), kWriteBytes, &response);
    vokClose(handle);
    _exit(static_cast<int>(std::min<uint32_t>(status, 99)));
}

TEST(RealKernelTokenWait, ASmallReaderWaitsOutALongWriteThroughTheQueueAndFailsNoCall) {
    const std::string path = token_path(0);
    ASSERT_FALSE(path.empty());
    struct stat node {};
    ASSERT_EQ(stat(path.c_str(), &node), 0);
    ASSERT_TRUE(S_ISCHR(node.st_mode)) << path;
    const VokHandle handle = vokOpen(0);
    ASSERT_NE(handle, VOK_INVALID_HANDLE);
    VokIdInfo info{};
    ASSERT_EQ(vokGetInfo(handle, &info, sizeof info), 0U);
    const std::string tree = guest::treeNodeOf(info.tokenId);
    ASSERT_FALSE(tree.empty());
    VokIdResponse response{};
    const std::vector<uint8_t> small = bytes_of(kReaderBytes, 7);
    ASSERT_EQ(vokWrite(handle, nullptr, 0, kReaderAddress, small.data(), kReaderBytes, &response),
              0U);
    ASSERT_TRUE(voksim::setLogging(tree, false));
    voksim::Faults slow;
    slow.latencyMicros = kLatencyMicros;
    ASSERT_TRUE(voksim::setFaults(tree, slow));

    int ready[2], writerGate[2], readerGate[2], stop[2], figuresPipe[2];
    for (int* p : {ready, writerGate, readerGate, stop, figuresPipe}) ASSERT_EQ(pipe(p), 0);
    // A child keeps no write end of a gate or of `stop`: each closes when the
    // parent closes its own.
    const auto close_write_ends = [&] {
        for (const int fd : {writerGate[1], readerGate[1], stop[1]}) close(fd);
    };
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        close_write_ends();
        run_writer(ready[1], writerGate[0]);
    }
    const pid_t reader = fork();
    ASSERT_GE(reader, 0);
    if (reader == 0) {
        close_write_ends();
        run_reader(ready[1], readerGate[0], stop[0], figuresPipe[1]);
    }
    for (const int fd : {ready[1], writerGate[0], readerGate[0], stop[0], figuresPipe[1]})
        close(fd);
    for (int child = 0; child < 2; ++child) {
        char opened = 0;
        ASSERT_EQ(read(ready[0], &opened, 1), 1) << "both children have their handles";
    }

    const auto started = Clock::now();
    close(writerGate[1]);
    const bool holderListed =
        seen_while_running(writer, [&] { return listed(node, "FLOCK", "WRITE", writer, 0); });
    close(readerGate[1]);
    const bool readerQueued =
        seen_while_running(writer, [&] { return listed(node, "OFDLCK", "READ", 0, kQueueStart); });
    int writerStatus = -1;
    ASSERT_EQ(waitpid(writer, &writerStatus, 0), writer);
    const double writeSeconds = std::chrono::duration<double>(Clock::now() - started).count();
    close(stop[1]);
    ReaderFigures figures;
    ASSERT_EQ(read(figuresPipe[0], &figures, sizeof figures), static_cast<ssize_t>(sizeof figures));
    int readerStatus = -1;
    ASSERT_EQ(waitpid(reader, &readerStatus, 0), reader);
    close(ready[0]);
    close(figuresPipe[0]);
    ASSERT_TRUE(voksim::clearFaults(tree));
    ASSERT_TRUE(voksim::setLogging(tree, true));

    EXPECT_TRUE(holderListed) << "/proc/locks names the writer as the holder of " << path;
    EXPECT_TRUE(readerQueued) << "/proc/locks lists the reader's place in the queue on " << path;
    EXPECT_TRUE(WIFEXITED(writerStatus) && WEXITSTATUS(writerStatus) == 0) << "the write's status";
    EXPECT_TRUE(WIFEXITED(readerStatus) && WEXITSTATUS(readerStatus) == 0);
    EXPECT_EQ(figures.failures, 0) << "of " << figures.reads << " reads";
    EXPECT_GT(figures.longestMicros, 1000LL * VOK_TOKEN_WAIT_LIMIT_MS)
        << "a read waited for the whole write, past the limit";
    std::vector<uint8_t> back(kWriteBytes);
    EXPECT_EQ(vokRead(handle, nullptr, 0, 0, back.data(), kWriteBytes, &response), 0U);
    EXPECT_EQ(back, bytes_of(kWriteBytes, 3)) << "the written bytes read back";
    EXPECT_EQ(vokClose(handle), 0U);
    std::printf(
        "KT-SHARING a %u-byte write at %u us a transfer held it %.1f s; a reader meanwhile: "
        "reads %ld, the longest %.1f s (limit %u s), failed %ld\n",
        kWriteBytes, kLatencyMicros, writeSeconds, figures.reads, figures.longestMicros / 1e6,
        VOK_TOKEN_WAIT_LIMIT_MS / 1000, figures.failures);
}

}  // namespace
