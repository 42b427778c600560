// What the public operations cost on the virtual token: time per call and the
// control transfers each call makes (the "transfers" column). On a real bus
// every transfer costs about a millisecond at full speed, so the transfer
// count is what an application feels; the time column is the library's and
// the virtual token's own cost.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

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

}  // namespace

BENCHMARK(BM_Read)->Arg(2)->Arg(64)->Arg(4096)->Arg(65280)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WriteAligned)->Arg(2)->Arg(64)->Arg(4096)->Arg(65280)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WriteUnaligned)->Arg(2)->Arg(64)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetInfo)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenClose)->Arg(0)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
