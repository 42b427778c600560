// vok_soak: hours of load on two virtual tokens. Makes a token tree with a
// modelled bus latency, starts the worker processes, kills and restarts one
// of them now and then, and at the end checks every region against what its
// owner last wrote and prints operations per second and the slowest call.
//
// usage: vok_soak [--seconds N] [--processes N] [--threads N] [--latency-us N]
//                 [--kill-every-ms N] [--stall-ms N] [--dir DIR]
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "soak.h"
#include "vok/vok.h"
#include "voksim/voksim.h"

namespace soak {
namespace {

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--dir") {
            options.directory = value;
            continue;
        }
        char* end = nullptr;
        const long number = std::strtol(value, &end, 10);
        if (*end != '\0' || number < 0 || number > 1000000000) return false;
        const int n = static_cast<int>(number);
        if (name == "--seconds")
            options.seconds = n;
        else if (name == "--processes")
            options.processes = n;
        else if (name == "--threads")
            options.threads = n;
        else if (name == "--latency-us")
            options.latencyMicros = static_cast<uint32_t>(n);
        else if (name == "--kill-every-ms")
            options.killEveryMillis = n;
        else if (name == "--stall-ms")
            options.stallMillis = n;
        else
            return false;
    }
    const int regions = regionCount(options);
    return argc % 2 == 1 && options.processes >= 1 && options.threads >= 1 &&
           regions <= static_cast<int>(kMaxRegions) && options.stallMillis > 0;
}

bool makeTree(const Options& options, const std::string& root) {
    voksim::Identity identity;
    const int regionsPerToken = (regionCount(options) + kTokens - 1) / kTokens;
    identity.memoryUnits = static_cast<uint8_t>(std::max(16, regionsPerToken));
    voksim::Faults latency;
    latency.latencyMicros = options.latencyMicros;
    for (int t = 0; t < kTokens; ++t) {
        identity.tokenId[7] = static_cast<uint8_t>(t + 1);
        const std::string node =
            voksim::createToken(root + "/usb", 1, static_cast<unsigned>(t + 2), identity);
        if (node.empty() || !voksim::setLogging(node, false) || !voksim::setFaults(node, latency))
            return false;
    }
    std::filesystem::create_directories(root + "/locks");
    setenv("USB_DEVFS_PATH", (root + "/usb").c_str(), 1);
    setenv("VOK_IPC_NAME", (root + "/locks").c_str(), 1);
    return true;
}

pid_t startWorker(const Options& options, Shared& shared, int process) {
    const pid_t pid = fork();
    if (pid == 0) _exit(runWorker(options, shared, process));
    return pid;
}

// The token memory behind every region, read once all workers are gone.
uint64_t checkRegions(const Options& options, Shared& shared) {
    uint64_t wrong = 0;
    for (int r = 0; r < regionCount(options); ++r) {
        const VokHandle handle = vokOpen(static_cast<uint8_t>(tokenOf(r)));
        uint8_t bytes[kRegionSize];
        VokIdResponse response;
        const uint32_t status =
            handle == VOK_INVALID_HANDLE
                ? VOK_STATUS_TRANSFER_FAILED
                : vokRead(handle, nullptr, 0, offsetOf(r), bytes, kRegionSize, &response);
        if (handle != VOK_INVALID_HANDLE) vokClose(handle);
        const Region& region = shared.regions[r];
        const bool ok =
            status == VOK_STATUS_OK && (std::memcmp(bytes, region.committed, kRegionSize) == 0 ||
                                        (region.pendingValid.load() != 0 &&
                                         std::memcmp(bytes, region.pending, kRegionSize) == 0));
        if (!ok) {
            ++wrong;
            std::fprintf(stderr, "soak: region %d does not hold its last write (status %u)\n", r,
                         status);
        }
    }
    return wrong;
}

int report(const Options& options, Shared& shared, double seconds, int kills, uint64_t wrong,
           int hung) {
    uint64_t operations = 0, failures = 0, mismatches = 0, stalls = 0, slowest = 0;
    int slowestCall = 0;
    for (int r = 0; r < regionCount(options); ++r) {
        const ThreadStats& stats = shared.stats[r];
        operations += stats.operations.load();
        failures += stats.failures.load();
        mismatches += stats.mismatches.load();
        stalls += stats.stalls.load();
        if (stats.slowestMicros.load() > slowest) {
            slowest = stats.slowestMicros.load();
            slowestCall = stats.slowestCall.load();
        }
    }
    const uint64_t leaks = shared.leakedDescriptors.load();
    std::printf("soak: %d processes x %d threads on %d tokens, %u us latency, %.0f s\n",
                options.processes, options.threads, kTokens, options.latencyMicros, seconds);
    std::printf("  operations        %llu (%.0f per second)\n",
                static_cast<unsigned long long>(operations), operations / seconds);
    std::printf("  slowest call      %s, %.1f ms\n", kCallNames[slowestCall], slowest / 1000.0);
    std::printf("  workers killed    %d (restarted); writes a kill cut short: %llu\n", kills,
                static_cast<unsigned long long>(shared.cutShort.load()));
    std::printf("  failed calls      %llu\n", static_cast<unsigned long long>(failures));
    std::printf("  lost/torn writes  %llu during, %llu at the end\n",
                static_cast<unsigned long long>(mismatches),
                static_cast<unsigned long long>(wrong));
    std::printf("  stalled calls     %llu (bound %d ms), hung workers %d\n",
                static_cast<unsigned long long>(stalls), options.stallMillis, hung);
    std::printf("  leaked descriptors %llu\n", static_cast<unsigned long long>(leaks));
    const bool clean =
        failures == 0 && mismatches == 0 && wrong == 0 && stalls == 0 && hung == 0 && leaks == 0;
    std::printf("soak: %s\n", clean ? "clean" : "FAILED");
    return clean ? 0 : 1;
}

}  // namespace
}  // namespace soak

int main(int argc, char** argv) {
    using namespace soak;
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: vok_soak [--seconds N] [--processes N] [--threads N] "
                     "[--latency-us N] [--kill-every-ms N] [--stall-ms N] [--dir DIR]\n");
        return 2;
    }
    std::string root = options.directory;
    if (root.empty()) {
        char pattern[] = "/tmp/vok-soak-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return 2;
        root = pattern;
    }
    if (!makeTree(options, root)) {
        std::fprintf(stderr, "soak: cannot make the token tree under %s\n", root.c_str());
        return 2;
    }
    void* memory =
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return 2;
    auto* shared = new (memory) Shared{};

    std::vector<pid_t> workers;
    for (int p = 0; p < options.processes; ++p) workers.push_back(startWorker(options, *shared, p));
    const uint64_t start = nowMicros();
    const uint64_t end = start + static_cast<uint64_t>(options.seconds) * 1000000;
    std::mt19937 random(static_cast<uint32_t>(start));
    uint64_t nextKill = start + static_cast<uint64_t>(options.killEveryMillis) * 1000;
    int kills = 0;
    while (nowMicros() < end) {
        usleep(20000);
        if (options.killEveryMillis > 0 && nowMicros() >= nextKill) {
            const int victim = static_cast<int>(random() % workers.size());
            kill(workers[victim], SIGKILL);
            waitpid(workers[victim], nullptr, 0);
            workers[victim] = startWorker(options, *shared, victim);
            ++kills;
            nextKill += static_cast<uint64_t>(options.killEveryMillis) * 1000;
        }
    }
    shared->stop.store(1);

    // A worker that does not finish within the stall bound is hung.
    int hung = 0;
    const uint64_t giveUp = nowMicros() + static_cast<uint64_t>(options.stallMillis) * 1000;
    for (pid_t worker : workers) {
        int status = 0;
        while (waitpid(worker, &status, WNOHANG) == 0) {
            if (nowMicros() > giveUp) {
                ++hung;
                kill(worker, SIGKILL);
                waitpid(worker, &status, 0);
                break;
            }
            usleep(10000);
        }
    }
    const double seconds = static_cast<double>(nowMicros() - start) / 1e6;
    const uint64_t wrong = checkRegions(options, *shared);
    const int result = report(options, *shared, seconds, kills, wrong, hung);
    if (options.directory.empty()) std::filesystem::remove_all(root);
    return result;
}
