// What the transaction engine costs on top of the control transfers it makes.
//
// Both benchmarks read the same number of words from the same virtual token
// (transfer log off) with the same control transfers: open the node, phase 0,
// the PIN, the token identifier, the memory header and one reply per word
// pair, close the node. "engine" runs cmdProtocolExecute; "bare" issues the
// ioctl calls from a flat loop with fixed packets. The table at the end gives
// the engine's CPU time over the bare loop's for each size.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "discovery/deviceList.h"
#include "floor/bareRead.h"
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

void BM_BareIoctlRead(benchmark::State& state) {
    BenchToken& token = benchToken();
    const auto words = static_cast<uint16_t>(state.range(0));
    static uint8_t data[VOK_REQUEST_DATA_SIZE];
    for (auto _ : state) {
        if (!vokbench::bareRead(token.node, token.identity.tokenId, words, data)) {
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
