// The soak run: several processes of several threads each work on two
// virtual tokens for a chosen time. Each thread owns one region of token
// memory; the expected content of every region lives in memory shared by all
// processes, so that a worker killed mid-write can be checked by its
// successor and the final contents by the parent.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace soak {

constexpr uint32_t kRegionSize = 256;
constexpr int kTokens = 2;
constexpr size_t kMaxRegions = 256;

struct Options {
    int seconds = 30;
    int processes = 3;
    int threads = 8;
    uint32_t latencyMicros = 50;
    int killEveryMillis = 2000;  // 0: no worker is killed
    int stallMillis = 10000;     // a call longer than this is reported
    std::string directory;       // the tree's home; a fresh one when empty
};

// One region: its bytes as last written successfully, and the bytes of a
// write in flight (which a kill may or may not have let land).
struct Region {
    uint8_t committed[kRegionSize];
    uint8_t pending[kRegionSize];
    std::atomic<int> pendingValid;
};

// What one thread saw; written by its thread, read by the watchdog and the
// parent.
struct ThreadStats {
    std::atomic<uint64_t> operations;
    std::atomic<uint64_t> failures;    // a call that did not return success
    std::atomic<uint64_t> mismatches;  // a region that did not hold what was written
    std::atomic<uint64_t> stalls;
    std::atomic<uint64_t> callStartMicros;  // 0 while no call is running
    std::atomic<uint64_t> slowestMicros;
    std::atomic<int> slowestCall;  // index into kCallNames
};

struct Shared {
    std::atomic<int> stop;
    std::atomic<uint64_t> leakedDescriptors;
    std::atomic<uint64_t> cutShort;  // writes a kill stopped part-way
    Region regions[kMaxRegions];
    ThreadStats stats[kMaxRegions];
};

inline const char* const kCallNames[] = {"vokOpen", "vokRead", "vokWrite", "vokGetInfo",
                                         "vokClose"};

uint64_t nowMicros();
int regionCount(const Options& options);
// The token (its enumeration index) and the offset of region r.
int tokenOf(int region);
uint32_t offsetOf(int region);

// The body of worker process `process`; returns its exit code.
int runWorker(const Options& options, Shared& shared, int process);

}  // namespace soak
