// What the public operations cost on the virtual token: time per call and the
// control transfers each call makes (the "transfers" column). On a real bus
// every transfer costs about a millisecond at full speed, so the transfer
// count is what an application feels; the time column is the library's and
// the virtual token's own cost.
//
// The trace: the same memory read (a) as the floor, the bare control
// transfers of its transaction from a flat loop (floor/bareRead.h), (b)
// through vokRead with the trace off, (c) through vokRead at level 3 into a
// handler that drops the lines. The table at the end gives each one's CPU
// time and its ratio to the floor, from the same run.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "floor/bareRead.h"
#include "vok/vok.h"
#include "voksim/voksim.h"

namespace {

struct BenchTree {
    std::string root;
    std::string node;
    std::string lockDir;
    VokHandle handle = VOK_INVALID_HANDLE;
    ~BenchTree() {
        if (handle != VOK_INVALID_HANDLE) vokClose(handle);
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
};

BenchTree& tree() {
    static BenchTree t = [] {
        BenchTree made;
        char pattern[] = "/tmp/vok-apibench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        made.root = pattern;
        made.lockDir = made.root + "/.locks";
        std::filesystem::create_directory(made.lockDir);
        voksim::Identity identity;
        identity.memoryModel = 2;
        identity.memoryUnits = 255;  // 65280 bytes: room for the largest transfers
        made.node = voksim::createToken(made.root, 1, 2, identity);
        voksim::setLogging(made.node, false);
        setenv("USB_DEVFS_PATH", made.root.c_str(), 1);
        setenv("VOK_IPC_NAME", made.lockDir.c_str(), 1);
        return made;
    }();
    return t;
}

VokHandle openHandle() {
    BenchTree& t = tree();
    if (t.handle == VOK_INVALID_HANDLE) t.handle = vokOpen(0);
    if (t.handle == VOK_INVALID_HANDLE) {
        std::fprintf(stderr, "no virtual token\n");
        std::exit(1);
    }
    return t.handle;
}

uint64_t transfersSoFar() {
    const auto state = voksim::readState(tree().node);
    return state ? state->transferCount : 0;
}

// Runs `call` in the benchmark loop and reports transfers per call.
template <typename Call>
void measure(benchmark::State& state, Call call) {
    const uint64_t before = transfersSoFar();
    for (auto _ : state) {
        if (call() != VOK_STATUS_OK) {
            state.SkipWithError("the call failed");
            break;
        }
    }
    const uint64_t after = transfersSoFar();
    state.counters["transfers"] =
        static_cast<double>(after - before) / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Read(benchmark::State& state) {
    const VokHandle handle = openHandle();
    std::vector<uint8_t> buffer(static_cast<size_t>(state.range(0)));
    VokIdResponse response;
    measure(state, [&] {
        return vokRead(handle, nullptr, 0, 0, buffer.data(), static_cast<uint32_t>(buffer.size()),
                       &response);
    });
}

void BM_WriteAligned(benchmark::State& state) {
    const VokHandle handle = openHandle();
    std::vector<uint8_t> buffer(static_cast<size_t>(state.range(0)), 0xA5);
    VokIdResponse response;
    measure(state, [&] {
        return vokWrite(handle, nullptr, 0, 0, buffer.data(), static_cast<uint32_t>(buffer.size()),
                        &response);
    });
}

// An odd offset and an even length: both shared words are fetched first.
void BM_WriteUnaligned(benchmark::State& state) {
    const VokHandle handle = openHandle();
    std::vector<uint8_t> buffer(static_cast<size_t>(state.range(0)), 0x5A);
    VokIdResponse response;
    measure(state, [&] {
        return vokWrite(handle, nullptr, 0, 1, buffer.data(), static_cast<uint32_t>(buffer.size()),
                        &response);
    });
}

void BM_GetInfo(benchmark::State& state) {
    const VokHandle handle = openHandle();
    VokIdInfo info;
    measure(state, [&] { return vokGetInfo(handle, &info, sizeof info); });
}

// A scan of the tree, the info command and a handle, then its release.
void BM_OpenClose(benchmark::State& state) {
    tree();
    measure(state, [] {
        const VokHandle handle = vokOpen(0);
        if (handle == VOK_INVALID_HANDLE) return VOK_STATUS_TRANSFER_FAILED;
        return vokClose(handle);
    });
}

// ---- The trace's cost: floor, off, on ------------------------------------------

constexpr int kTraceLevelArg = 1;  // second argument: -1 floor, 0 off, 3 on

void dropLine(void*, int, const char*) {}

void BM_TraceRead(benchmark::State& state) {
    const VokHandle handle = openHandle();
    const auto words = static_cast<uint16_t>(state.range(0));
    const auto level = static_cast<int>(state.range(kTraceLevelArg));
    std::vector<uint8_t> buffer(2u * words + 2);
    const voksim::Identity identity;  // the bench token's identifier is the default one
    VokIdResponse response;
    vokSetLogHandler(dropLine, nullptr);
    vokSetLogLevel(level < 0 ? 0 : level);
    const uint64_t before = transfersSoFar();
    for (auto _ : state) {
        const bool ok =
            level < 0 ? vokbench::bareRead(tree().node, identity.tokenId, words, buffer.data())
                      : vokRead(handle, nullptr, 0, 0, buffer.data(), 2u * words, &response) ==
                            VOK_STATUS_OK;
        if (!ok) {
            state.SkipWithError("the read failed");
            break;
        }
    }
    state.counters["transfers"] =
        static_cast<double>(transfersSoFar() - before) / static_cast<double>(state.iterations());
    vokSetLogLevel(0);
    vokSetLogHandler(nullptr, nullptr);
}

// Keeps the console table and collects the mean CPU time of each trace run
// over its repetitions for the comparison printed at the end.
class TraceReporter : public benchmark::ConsoleReporter {
  public:
    TraceReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            const std::string name = run.benchmark_name();
            if (run.error_occurred || run.run_type != Run::RT_Iteration ||
                name.rfind("BM_TraceRead/", 0) != 0) {
                continue;
            }
            int words = 0;
            int level = 0;
            if (std::sscanf(name.c_str(), "BM_TraceRead/%d/%d", &words, &level) != 2) continue;
            auto& [sum, count] = times_[words][level];
            sum += run.GetAdjustedCPUTime();
            ++count;
        }
    }
    void PrintComparison() const {
        std::printf("\n%-6s %12s %12s %8s %12s %8s\n", "words", "floor (us)", "off (us)", "off/fl",
                    "level 3 (us)", "on/fl");
        for (const auto& [words, byLevel] : times_) {
            const auto mean = [&](int level) {
                const auto found = byLevel.find(level);
                return found == byLevel.end() ? 0.0 : found->second.first / found->second.second;
            };
            const double floor = mean(-1);
            if (floor <= 0) continue;
            std::printf("%-6d %12.2f %12.2f %8.3f %12.2f %8.3f\n", words, floor, mean(0),
                        mean(0) / floor, mean(3), mean(3) / floor);
        }
    }

  private:
    // words -> level -> (sum of CPU times, repetitions)
    std::map<int, std::map<int, std::pair<double, int>>> times_;
};

}  // namespace

BENCHMARK(BM_Read)->Arg(2)->Arg(64)->Arg(4096)->Arg(65280)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WriteAligned)->Arg(2)->Arg(64)->Arg(4096)->Arg(65280)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WriteUnaligned)->Arg(2)->Arg(64)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetInfo)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenClose)->Arg(0)->Unit(benchmark::kMicrosecond);

// Floor, off and on one after the other for each size, so that all three
// see the machine in the same state.
BENCHMARK(BM_TraceRead)->Args({1, -1})->Args({1, 0})->Args({1, 3})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TraceRead)
    ->Args({64, -1})
    ->Args({64, 0})
    ->Args({64, 3})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TraceRead)
    ->Args({2048, -1})
    ->Args({2048, 0})
    ->Args({2048, 3})
    ->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    TraceReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintComparison();
    benchmark::Shutdown();
    return 0;
}
