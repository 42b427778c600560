// A soak worker process: its threads open, read, write, get info and close
// in a loop, each on its own region; a watchdog reports calls that take too
// long; at the end the process checks that the library left no descriptor
// open.
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "soak.h"
#include "vok/vok.h"

namespace soak {

uint64_t nowMicros() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

int regionCount(const Options& options) { return options.processes * options.threads; }
int tokenOf(int region) { return region % kTokens; }
uint32_t offsetOf(int region) { return static_cast<uint32_t>(region / kTokens) * kRegionSize; }

namespace {

enum Call { kOpen, kRead, kWrite, kInfo, kClose };

// The descriptors of this process, but for the virtual token's own state and
// log files (which it keeps open on purpose).
std::set<std::string> libraryDescriptors() {
    std::set<std::string> found;
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) return found;
    while (const dirent* entry = readdir(fds)) {  // NOLINT(concurrency-mt-unsafe)
        if (entry->d_name[0] == '.' || std::stoi(entry->d_name) == dirfd(fds)) continue;
        char target[4096] = {};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
        const std::string name(target, length > 0 ? static_cast<size_t>(length) : 0);
        const auto endsWith = [&name](const char* suffix) {
            const size_t n = std::strlen(suffix);
            return name.size() >= n && name.compare(name.size() - n, n, suffix) == 0;
        };
        if (endsWith(".state") || endsWith(".log")) continue;
        found.insert(std::string(entry->d_name) + " " + name);
    }
    closedir(fds);
    return found;
}

class Worker {
  public:
    Worker(Shared& shared, int region, uint32_t seed)
        : shared_(shared),
          region_(shared.regions[region]),
          stats_(shared.stats[region]),
          token_(static_cast<uint8_t>(tokenOf(region))),
          offset_(offsetOf(region)),
          random_(seed) {}

    void run() {
        adoptRegion();
        while (shared_.stop.load() == 0) {
            VokHandle handle = VOK_INVALID_HANDLE;
            if (!timed(kOpen, [&] {
                    handle = vokOpen(token_);
                    return handle == VOK_INVALID_HANDLE ? VOK_STATUS_TRANSFER_FAILED
                                                        : VOK_STATUS_OK;
                })) {
                continue;
            }
            const int operations = 1 + static_cast<int>(random_() % 4);
            for (int i = 0; i < operations; ++i) {
                switch (random_() % 4) {
                    case 0:
                        readAndCheck(handle);
                        break;
                    case 3:
                        info(handle);
                        break;
                    default:
                        write(handle);
                        break;
                }
            }
            timed(kClose, [&] { return vokClose(handle); });
        }
    }

  private:
    template <typename Body>
    bool timed(Call call, Body body) {
        const uint64_t start = nowMicros();
        stats_.callStartMicros.store(start);
        const uint32_t status = body();
        const uint64_t took = nowMicros() - start;
        stats_.callStartMicros.store(0);
        stats_.operations.fetch_add(1);
        if (took > stats_.slowestMicros.load()) {
            stats_.slowestMicros.store(took);
            stats_.slowestCall.store(call);
        }
        if (status != VOK_STATUS_OK) {
            stats_.failures.fetch_add(1);
            std::fprintf(stderr, "soak: %s on token %d at %u: status %u (%s)\n", kCallNames[call],
                         token_, offset_, status, vokStatusString(status));
        }
        return status == VOK_STATUS_OK;
    }

    // A predecessor killed mid-write may have left its last committed bytes,
    // the ones in flight, or (the token stores each data packet as it comes)
    // a write cut short: every byte old or new. Whichever it is, it is taken
    // over; anything else is a lost or torn write.
    void adoptRegion() {
        std::vector<uint8_t> bytes(kRegionSize);
        const VokHandle handle = vokOpen(token_);
        VokIdResponse response;
        const uint32_t status =
            handle == VOK_INVALID_HANDLE
                ? VOK_STATUS_TRANSFER_FAILED
                : vokRead(handle, nullptr, 0, offset_, bytes.data(), kRegionSize, &response);
        if (handle != VOK_INVALID_HANDLE) vokClose(handle);
        if (status != VOK_STATUS_OK) {
            stats_.failures.fetch_add(1);
            return;
        }
        const bool inFlight = region_.pendingValid.load() != 0;
        bool oldOrNew = true;
        bool allOld = true;
        for (uint32_t i = 0; i < kRegionSize; ++i) {
            allOld = allOld && bytes[i] == region_.committed[i];
            oldOrNew = oldOrNew && (bytes[i] == region_.committed[i] ||
                                    (inFlight && bytes[i] == region_.pending[i]));
        }
        const bool allNew =
            inFlight && std::memcmp(bytes.data(), region_.pending, kRegionSize) == 0;
        if (!oldOrNew) {
            stats_.mismatches.fetch_add(1);
            std::fprintf(stderr, "soak: token %d at %u holds neither write after a restart\n",
                         token_, offset_);
        } else if (!allOld && !allNew) {
            shared_.cutShort.fetch_add(1);
        }
        std::memcpy(region_.committed, bytes.data(), kRegionSize);
        region_.pendingValid.store(0);
    }

    void readAndCheck(VokHandle handle) {
        uint8_t bytes[kRegionSize];
        VokIdResponse response;
        if (!timed(kRead, [&] {
                return vokRead(handle, nullptr, 0, offset_, bytes, kRegionSize, &response);
            })) {
            return;
        }
        if (std::memcmp(bytes, region_.committed, kRegionSize) != 0) {
            stats_.mismatches.fetch_add(1);
            std::fprintf(stderr, "soak: token %d at %u lost a write\n", token_, offset_);
            std::memcpy(region_.committed, bytes, kRegionSize);
        }
    }

    // A random stretch of the region, at any alignment, with fresh bytes.
    void write(VokHandle handle) {
        const uint32_t start = static_cast<uint32_t>(random_() % kRegionSize);
        const uint32_t length = 1 + static_cast<uint32_t>(random_() % (kRegionSize - start));
        std::memcpy(region_.pending, region_.committed, kRegionSize);
        for (uint32_t i = 0; i < length; ++i) {
            region_.pending[start + i] = static_cast<uint8_t>(random_());
        }
        region_.pendingValid.store(1);
        VokIdResponse response;
        const bool written = timed(kWrite, [&] {
            return vokWrite(handle, nullptr, 0, offset_ + start, region_.pending + start, length,
                            &response);
        });
        if (written) std::memcpy(region_.committed, region_.pending, kRegionSize);
        // After a failed write the region may hold either; the next read decides.
        if (written) region_.pendingValid.store(0);
    }

    void info(VokHandle handle) {
        VokIdInfo information;
        timed(kInfo, [&] { return vokGetInfo(handle, &information, sizeof information); });
    }

    Shared& shared_;
    Region& region_;
    ThreadStats& stats_;
    uint8_t token_;
    uint32_t offset_;
    std::mt19937 random_;
};

void watch(const Options& options, Shared& shared, int firstRegion, const std::atomic<bool>& done) {
    const uint64_t bound = static_cast<uint64_t>(options.stallMillis) * 1000;
    std::vector<uint64_t> reported(static_cast<size_t>(options.threads), 0);
    while (!done) {
        for (int t = 0; t < options.threads; ++t) {
            ThreadStats& stats = shared.stats[firstRegion + t];
            const uint64_t start = stats.callStartMicros.load();
            if (start != 0 && nowMicros() - start > bound && reported[t] != start) {
                reported[t] = start;
                stats.stalls.fetch_add(1);
                std::fprintf(stderr, "soak: a call on region %d has run for more than %d ms\n",
                             firstRegion + t, options.stallMillis);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace

int runWorker(const Options& options, Shared& shared, int process) {
    const std::set<std::string> before = libraryDescriptors();
    const int firstRegion = process * options.threads;
    std::vector<std::thread> threads;
    for (int t = 0; t < options.threads; ++t) {
        const int region = firstRegion + t;
        threads.emplace_back([&shared, region] {
            Worker(shared, region, static_cast<uint32_t>(nowMicros()) ^ (region * 7919u)).run();
        });
    }
    std::atomic<bool> done{false};
    std::thread watchdog([&] { watch(options, shared, firstRegion, done); });
    for (std::thread& thread : threads) thread.join();
    done = true;
    watchdog.join();

    const std::set<std::string> after = libraryDescriptors();
    for (const std::string& descriptor : after) {
        if (before.count(descriptor) == 0) {
            shared.leakedDescriptors.fetch_add(1);
            std::fprintf(stderr, "soak: descriptor left open: %s\n", descriptor.c_str());
        }
    }
    return 0;
}

}  // namespace soak
