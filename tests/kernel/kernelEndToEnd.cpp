// The library through a real kernel's usbfs: run in a guest where
// `vok-sim attach` has made two virtual tokens and one foreign device real USB
// devices (scripts/kernel-test.sh). The tests run in order; the last one
// unplugs the second token.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "guestTree.h"
#include "vok/vok.h"

namespace {

constexpr VokHandle kNoHandle = 0xFFFFFFFF;
constexpr char kPin[] = "2468";

std::vector<uint8_t> pattern(size_t length, unsigned seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return bytes;
}

// An open handle on the token of `index` and the tree node behind it.
struct Token {
    VokHandle handle = kNoHandle;
    VokIdInfo info{};
    std::string node;
    VokIdResponse response{};

    explicit Token(uint8_t index) {
        handle = vokOpen(index);
        if (handle == kNoHandle) return;
        if (vokGetInfo(handle, &info, sizeof info) == 0) node = guest::treeNodeOf(info.tokenId);
    }
    ~Token() {
        if (handle != kNoHandle) vokClose(handle);
    }
    uint32_t write(uint32_t offset, const std::vector<uint8_t>& bytes) {
        return vokWrite(handle, nullptr, 0, offset, bytes.data(),
                        static_cast<uint32_t>(bytes.size()), &response);
    }
    uint32_t read(uint32_t offset, std::vector<uint8_t>& bytes) {
        return vokRead(handle, nullptr, 0, offset, bytes.data(),
                       static_cast<uint32_t>(bytes.size()), &response);
    }
};

TEST(RealKernel, DiscoveryFindsTheTwoTokensOnCharacterDevicesAndSkipsTheForeignDevice) {
    int tokens = 0;
    int foreign = 0;
    std::string seen;
    for (const guest::UsbNode& node : guest::usbNodes()) {
        char ids[16];
        std::snprintf(ids, sizeof ids, " %04x:%04x", node.idVendor, node.idProduct);
        seen += " " + node.path + ids;
        EXPECT_TRUE(node.characterDevice) << node.path;
        EXPECT_EQ(node.major, 189U) << node.path;
        tokens += node.idVendor == 0xF055 && node.idProduct == 0x0401;
        foreign += node.idVendor == 0x1234 && node.idProduct == 0x5678;
    }
    EXPECT_EQ(tokens, 2) << seen;
    EXPECT_EQ(foreign, 1) << seen;
    Token first(0);
    Token second(1);
    ASSERT_NE(first.handle, kNoHandle);
    ASSERT_NE(second.handle, kNoHandle);
    EXPECT_EQ(vokOpen(2), kNoHandle) << "the foreign device and the root hubs are not tokens";
    EXPECT_FALSE(first.node.empty());
    EXPECT_FALSE(second.node.empty());
    EXPECT_NE(first.node, second.node);
}

TEST(RealKernel, OpenInfoClose) {
    const VokHandle handle = vokOpen(0);
    ASSERT_NE(handle, kNoHandle);
    VokIdInfo info{};
    ASSERT_EQ(vokGetInfo(handle, &info, sizeof info), 0U);
    EXPECT_EQ(info.memorySize, 65280U);
    EXPECT_EQ(info.protocolLevel, 22);
    EXPECT_EQ(info.tokenId[0], 0x56);
    EXPECT_EQ(vokClose(handle), 0U);
    EXPECT_EQ(vokClose(handle), 9U);
    // The info command of an open resets the device (USBDEVFS_RESET): the
    // token sees the kernel enumerate it again, which its log records as a
    // reset before the command's two transfers.
    const std::string node = guest::treeNodeOf(info.tokenId);
    ASSERT_TRUE(voksim::clearLog(node));
    const VokHandle again = vokOpen(0);
    ASSERT_NE(again, kNoHandle);
    EXPECT_EQ(vokClose(again), 0U);
    const std::vector<voksim::LogEntry> log = voksim::readLog(node);
    ASSERT_EQ(log.size(), 3U);
    EXPECT_EQ(log[0].kind, voksim::LogEntry::kReset);
    EXPECT_EQ(log[1].data.at(1), VOK_CMD_GET_INFO);
    EXPECT_EQ(log[2].wLength, 16);
}

TEST(RealKernel, MemoryRoundTripsOnEveryBlockUnalignedAndAboveOneRecord) {
    Token token(0);
    ASSERT_NE(token.handle, kNoHandle);
    ASSERT_EQ(vokInitialize(token.handle, nullptr, 0, nullptr, 0, false, &token.response), 0U);
    const std::vector<uint8_t> large = pattern(20000, 1);
    ASSERT_EQ(token.write(0, large), 0U);
    std::vector<uint8_t> back(large.size());
    ASSERT_EQ(token.read(0, back), 0U);
    EXPECT_EQ(back, large) << "a read above 16384 bytes";
    const std::vector<uint8_t> odd = pattern(77, 9);
    ASSERT_EQ(token.write(30001, odd), 0U) << "starts and ends inside a word";
    std::vector<uint8_t> around(81);
    ASSERT_EQ(token.read(30000, around), 0U);
    EXPECT_EQ(std::vector<uint8_t>(around.begin() + 1, around.end() - 3), odd);
    EXPECT_EQ(around[0], 0) << "the byte before is kept";
    for (int block = 1; block <= 4; ++block) {
        const std::vector<uint8_t> bytes = pattern(101, 40 + block);
        EXPECT_EQ(vokWriteEx(token.handle, static_cast<BLOCK_ID>(block), nullptr, 0, 3,
                             bytes.data(), 101, &token.response),
                  0U);
        std::vector<uint8_t> read(101);
        EXPECT_EQ(vokReadEx(token.handle, static_cast<BLOCK_ID>(block), nullptr, 0, 3, read.data(),
                            101, &token.response),
                  0U);
        EXPECT_EQ(read, bytes) << "block " << block;
    }
}

TEST(RealKernel, EveryAdministrativeOperationAndAWrongPin) {
    Token token(0);
    ASSERT_NE(token.handle, kNoHandle);
    VokIdResponse* r = &token.response;
    const VokHandle h = token.handle;
    ASSERT_EQ(vokInitialize(h, nullptr, 0, nullptr, 0, false, r), 0U);
    EXPECT_EQ(vokSetVendorId(h, VOK_BLOCK_2, nullptr, 0, 0x1234, r), 0U);
    uint16_t vendor = 0;
    EXPECT_EQ(vokGetVendorId(h, VOK_BLOCK_2, &vendor, r), 0U);
    EXPECT_EQ(vendor, 0x1234);
    EXPECT_EQ(vokSetPin(h, VOK_PIN_USER, VOK_BLOCK_2, nullptr, 0, kPin, 4, r), 0U);
    EXPECT_EQ(vokSetBlockPinUse(h, VOK_BLOCK_2, kPin, 4, VOK_PIN_USE_ON, VOK_PIN_SET_BY_USER, r),
              0U);
    uint16_t attributes = 0;
    EXPECT_EQ(vokSetBlockAttr(h, VOK_BLOCK_2, kPin, 4, VOK_RW_READ_WRITE, &attributes, r), 0U);
    EXPECT_EQ(vokGetBlockAttr(h, VOK_BLOCK_2, &attributes, r), 0U);
    EXPECT_EQ(attributes, 0x0100 | 0x0008 | 0x0003) << "user PIN set, PIN use, read and write";
    uint8_t word[2] = {1, 2};
    EXPECT_EQ(vokLockBlock(h, VOK_BLOCK_2, kPin, 4, VOK_ACCESS_LOCKED, r), 0U);
    EXPECT_EQ(vokWriteEx(h, VOK_BLOCK_2, kPin, 4, 0, word, 2, r), 0x13U) << "locked";
    EXPECT_EQ(vokLockBlock(h, VOK_BLOCK_2, kPin, 4, VOK_ACCESS_UNLOCKED, r), 0U);
    EXPECT_EQ(vokWriteEx(h, VOK_BLOCK_2, kPin, 4, 0, word, 2, r), 0U);
    EXPECT_EQ(vokReadEx(h, VOK_BLOCK_2, "1357", 4, 0, word, 2, r), 0x10U) << "a wrong PIN";
    EXPECT_EQ(vokSetSecParameters(h, "0000", 4, 1, 4, 5, 20, r), 0U);
    uint8_t p[4] = {};
    EXPECT_EQ(vokGetSecParameters(h, &p[0], &p[1], &p[2], &p[3], r), 0U);
    EXPECT_EQ(std::vector<uint8_t>(p, p + 4), (std::vector<uint8_t>{1, 4, 5, 20}));
    EXPECT_EQ(vokInitializeBlock(h, VOK_PIN_USER, VOK_BLOCK_2, kPin, 4, nullptr, 0, 0, false, r),
              0U);
    EXPECT_EQ(vokGetBlockAttr(h, VOK_BLOCK_2, &attributes, r), 0U);
    EXPECT_EQ(attributes, 0x0003) << "the block is back to its defaults";
    EXPECT_EQ(vokInitialize(h, nullptr, 0, nullptr, 0, false, r), 0U);
}

// An aligned write of 8 bytes is 18 transfers: phase 0 (1, 2), phase 1
// (3-11), phase 2 (12-14), the phase-3 header (15) and phase 4 (16-18).
TEST(RealKernel, AStallInEachPhaseGivesStatus5AndTheResetExchange) {
    Token token(0);
    ASSERT_NE(token.handle, kNoHandle);
    ASSERT_FALSE(token.node.empty());
    for (const uint32_t stalled : {1U, 2U, 3U, 11U, 12U, 14U, 15U, 16U, 18U}) {
        ASSERT_TRUE(voksim::clearLog(token.node));
        voksim::Faults faults;
        faults.failTransfer = stalled;
        ASSERT_TRUE(voksim::setFaults(token.node, faults));
        EXPECT_EQ(token.write(0, pattern(8, stalled)), 5U) << "stall at transfer " << stalled;
        ASSERT_TRUE(voksim::clearFaults(token.node));
        const std::vector<voksim::LogEntry> log = voksim::readLog(token.node);
        ASSERT_EQ(log.size(), stalled + 3) << "the reset exchange follows the stall";
        EXPECT_EQ(log[stalled - 1].error, EPIPE);
        EXPECT_EQ(log[stalled].bRequestType, 0xC2);
        EXPECT_EQ(log[stalled + 1].bRequestType, 0x42);
        EXPECT_EQ(log[stalled + 1].data.at(0), 0xFF);
        EXPECT_EQ(log[stalled + 2].bRequestType, 0xC2);
    }
    EXPECT_EQ(token.write(0, pattern(8, 0)), 0U) << "the token works on after the stalls";
}

// Processes use the one token at the same time, each through a handle of its
// own: they write and read back their own ranges, write their own byte of one
// shared word, and open the token (a reset and the info command) while the
// others are in the middle of their transfers. The token runs one
// transaction at a time; the library's token lock keeps the processes'
// transactions apart, so no call fails and no update is lost.
constexpr int kSharingRounds = 8;
constexpr uint32_t kSharedWordAddress = 4000;  // process p owns byte 4000 + p

uint8_t shared_byte(int process, int round) { return static_cast<uint8_t>(process * 64 + round); }

// One process's rounds; the number of failed calls and differing read-backs.
int share_token(int process, int gate) {
    char go = 0;
    if (read(gate, &go, 1) != 0) return 100;  // every process starts when the gate closes
    Token token(0);
    if (token.handle == kNoHandle) return 100;
    int faults = 0;
    const uint32_t offset = 5001 + 100 * static_cast<uint32_t>(process);
    for (int round = 0; round < kSharingRounds; ++round) {
        const std::vector<uint8_t> bytes = pattern(64, 10 * process + round);
        faults += token.write(offset, bytes) != 0;
        std::vector<uint8_t> back(64);
        faults += token.read(offset, back) != 0 || back != bytes;
        const std::vector<uint8_t> mine = {shared_byte(process, round)};
        faults += token.write(kSharedWordAddress + process, mine) != 0;
        if (round % 3 == 1) {
            const VokHandle another = vokOpen(0);
            faults += another == kNoHandle || vokClose(another) != 0;
        }
    }
    return faults;
}

TEST(RealKernel, ProcessesUseOneTokenAtTheSameTimeWithoutFailuresOrLostUpdates) {
    for (const int processes : {2, 4}) {
        SCOPED_TRACE(std::to_string(processes) + " processes");
        int gate[2];
        ASSERT_EQ(pipe(gate), 0);
        std::vector<pid_t> children;
        for (int p = 0; p < processes; ++p) {
            const pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                close(gate[1]);
                _exit(std::min(share_token(p, gate[0]), 100));
            }
            children.push_back(child);
        }
        close(gate[0]);
        const auto start = std::chrono::steady_clock::now();
        close(gate[1]);
        for (const pid_t child : children) {
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), 0) << "failed calls and differing read-backs";
        }
        const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        std::printf("KT-SHARING %d processes at once: %d rounds each in %lld ms\n", processes,
                    kSharingRounds, static_cast<long long>(millis.count()));

        Token token(0);
        ASSERT_NE(token.handle, kNoHandle);
        std::vector<uint8_t> word(static_cast<size_t>(processes));
        ASSERT_EQ(token.read(kSharedWordAddress, word), 0U);
        for (int p = 0; p < processes; ++p) {
            EXPECT_EQ(word[p], shared_byte(p, kSharingRounds - 1)) << "process " << p;
            std::vector<uint8_t> range(64);
            ASSERT_EQ(token.read(5001 + 100 * static_cast<uint32_t>(p), range), 0U);
            EXPECT_EQ(range, pattern(64, 10 * p + kSharingRounds - 1)) << "process " << p;
        }
    }
}

TEST(RealKernel, UnplugInTheMiddleOfAReadGivesStatus5WithoutHanging) {
    Token token(1);
    ASSERT_NE(token.handle, kNoHandle);
    ASSERT_FALSE(token.node.empty());
    std::thread unplugger([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        EXPECT_TRUE(voksim::unplug(token.node));
    });
    std::vector<uint8_t> bytes(60000);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(token.read(0, bytes), 5U);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    unplugger.join();
    EXPECT_LT(elapsed, std::chrono::minutes(1)) << "a hang, not a slow guest";
    EXPECT_EQ(token.read(0, bytes), 5U) << "later calls fail cleanly";
    EXPECT_EQ(vokClose(token.handle), 0U);
    token.handle = kNoHandle;
    EXPECT_EQ(vokOpen(1), kNoHandle);
}

}  // namespace
