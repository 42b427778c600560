// What the transaction engine costs on top of the control transfers it makes.
//
// Both benchmarks read the same number of words from the same virtual token
// (transfer log off) with the same control transfers: open the node, phase 0,
// the PIN, the token identifier, the memory header and one reply per word
// pair, close the node. "engine" runs cmdProtocolExecute; "bare" issues the
// ioctl calls from a flat loop with fixed packets. The table at the end gives
// the engine's CPU time over the bare loop's for each size.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "discovery/deviceList.h"
#include "protocol/ioctl.h"
#include "voksim/voksim.h"

namespace {

struct BenchToken {
    std::string root;
    std::string node;
    voksim::Identity identity;
    VokDevice* device = nullptr;
};

BenchToken* gToken = nullptr;

BenchToken& benchToken() {
    static BenchToken token = [] {
        BenchToken t;
        char pattern[] = "/tmp/vok-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            perror("mkdtemp");
            exit(1);
        }
        t.root = pattern;
        t.identity.memoryModel = 2;
        t.identity.memoryUnits = 255;  // room for the largest read
        t.node = voksim::createToken(t.root, 1, 2, t.identity);
        voksim::setLogging(t.node, false);
        t.device = vokCreateDevice(t.identity.idProduct, 0, t.node.c_str(), t.node.c_str());
        return t;
    }();
    gToken = &token;
    return token;
}

void prepareRead(TDRVREQUEST_MEK& request, const voksim::Identity& identity, uint16_t words) {
    std::memset(&request, 0, sizeof request);
    request.command = VOK_CMD_READ;
    std::memcpy(request.pin, "1234", 4);
    std::memcpy(request.tokenId, identity.tokenId, sizeof request.tokenId);
    request.wordCount = words;
}

void BM_EngineRead(benchmark::State& state) {
    BenchToken& token = benchToken();
    const auto words = static_cast<uint16_t>(state.range(0));
    // The engine leaves the request fields as they are, so one record serves
    // every iteration, as the bare loop's fixed packets do.
    static TDRVREQUEST_MEK request;
    prepareRead(request, token.identity, words);
    for (auto _ : state) {
        if (cmdProtocolExecute(token.device, &request) != 0) {
            state.SkipWithError("read failed");
            break;
        }
        benchmark::DoNotOptimize(request.data[0]);
    }
    state.counters["transfers"] = 2 + 9 + 3 + 1 + (words + 1) / 2;
}

// One control transfer, as plain as it gets.
bool transfer(int fd, uint8_t requestType, uint8_t* bytes, uint16_t length, uint16_t value) {
    usbdevfs_ctrltransfer setup{};
    setup.bRequestType = requestType;
    setup.wValue = value;
    setup.wLength = length;
    setup.timeout = 6000;
    setup.data = bytes;
    return ioctl(fd, USBDEVFS_CONTROL, &setup) == length;
}

bool bareRead(const BenchToken& token, uint16_t words, uint8_t* data) {
    const int fd = open(token.node.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    uint8_t packet[8] = {0x00, VOK_CMD_READ};
    uint8_t reply[8];
    bool ok = transfer(fd, 0x42, packet, 8, 0) && transfer(fd, 0xC2, reply, 8, 0) && reply[0] == 0;
    const uint8_t tag = reply[2];
    const uint8_t pin[32] = {'1', '2', '3', '4'};
    packet[0] = 0x01;
    packet[1] = tag;
    for (int i = 0; ok && i < 8; ++i) {
        std::memcpy(packet + 2, pin + 4 * i, 4);
        ok = transfer(fd, 0x42, packet, 8, 0);
    }
    ok = ok && transfer(fd, 0xC2, reply, 8, tag) && reply[0] == 0;
    packet[0] = 0x02;
    for (int i = 0; ok && i < 2; ++i) {
        std::memcpy(packet + 2, token.identity.tokenId + 4 * i, 4);
        ok = transfer(fd, 0x42, packet, 8, 0);
    }
    ok = ok && transfer(fd, 0xC2, reply, 8, tag) && reply[0] == 0;
    const uint8_t header[8] = {
        0x03, tag, 0, 0, static_cast<uint8_t>(words), static_cast<uint8_t>(words >> 8)};
    std::memcpy(packet, header, sizeof packet);
    ok = ok && transfer(fd, 0x42, packet, 8, 0);
    for (int k = 0; ok && k < words; k += 2) {
        ok = transfer(fd, 0xC2, reply, 8, tag) && reply[0] == 0 && reply[2] == tag;
        std::memcpy(data + 2 * k, reply + 3, 4);
    }
    return close(fd) == 0 && ok;
}

void BM_BareIoctlRead(benchmark::State& state) {
    BenchToken& token = benchToken();
    const auto words = static_cast<uint16_t>(state.range(0));
    static uint8_t data[VOK_REQUEST_DATA_SIZE];
    for (auto _ : state) {
        if (!bareRead(token, words, data)) {
            state.SkipWithError("read failed");
            break;
        }
        benchmark::DoNotOptimize(data[0]);
    }
    state.counters["transfers"] = 2 + 9 + 3 + 1 + (words + 1) / 2;
}

// Each size runs the engine and then the bare loop, so that both see the
// machine in the same state.
BENCHMARK(BM_EngineRead)->Arg(2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareIoctlRead)->Arg(2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EngineRead)->Arg(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareIoctlRead)->Arg(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EngineRead)->Arg(8192)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareIoctlRead)->Arg(8192)->Unit(benchmark::kMicrosecond);

// Keeps the console table and collects the mean CPU time of each benchmark
// over its repetitions for the comparison printed at the end. The virtual
// token runs inside the process, so CPU time holds all the work and is less
// disturbed than wall time by other load on the machine.
class ComparingReporter : public benchmark::ConsoleReporter {
  public:
    ComparingReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            const std::string name = run.benchmark_name();
            const auto slash = name.find('/');
            auto& [sum, count] = times_[std::stoi(name.substr(slash + 1))][name.substr(0, slash)];
            sum += run.GetAdjustedCPUTime();
            ++count;
        }
    }
    void PrintComparison() const {
        std::printf("\n%-8s %14s %14s %10s\n", "words", "engine (us)", "bare (us)", "overhead");
        for (const auto& [words, byName] : times_) {
            const auto engine = byName.find("BM_EngineRead");
            const auto bare = byName.find("BM_BareIoctlRead");
            if (engine == byName.end() || bare == byName.end()) continue;
            const double engineTime = engine->second.first / engine->second.second;
            const double bareTime = bare->second.first / bare->second.second;
            std::printf("%-8d %14.2f %14.2f %9.1f%%\n", words, engineTime, bareTime,
                        100.0 * (engineTime / bareTime - 1.0));
        }
    }

  private:
    // words -> benchmark name -> (sum of real times, repetitions)
    std::map<int, std::map<std::string, std::pair<double, int>>> times_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    ComparingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintComparison();
    benchmark::Shutdown();
    if (gToken != nullptr) {
        vokFreeDevice(gToken->device);
        std::error_code ignored;
        std::filesystem::remove_all(gToken->root, ignored);
    }
    return 0;
}
