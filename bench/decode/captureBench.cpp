// What the capture costs and how fast `vok decode` reads.
//
// BM_Read: one memory read through vokRead on the virtual token (transfer log
// off) with mode -1 the floor (the bare control transfers, floor/bareRead.h),
// 0 capture and trace off, 1 VOK_CAPTURE on, 3 the trace at level 3 into a
// handler that drops its lines. The table at the end gives each mode's CPU
// time and its ratio to the floor.
//
// BM_Decode: the transactions of a capture of kCapturedReads reads, read from
// memory and decoded as `vok decode` does; its counter is transactions per
// second.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "captureReader.h"
#include "diagnostics/capture.h"
#include "floor/bareRead.h"
#include "tokenDecoder.h"
#include "vok/vok.h"
#include "voksim/voksim.h"

namespace {

constexpr int kCapturedReads = 4000;
constexpr uint16_t kCapturedWords = 64;

struct BenchTree {
    std::string root;
    std::string node;
    std::string capture;
    VokHandle handle = VOK_INVALID_HANDLE;
    std::vector<uint8_t> captured;  // kCapturedReads reads
    ~BenchTree() {
        if (handle != VOK_INVALID_HANDLE) vokClose(handle);
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
};

BenchTree& tree() {
    static BenchTree t = [] {
        BenchTree made;
        char pattern[] = "/tmp/vok-capturebench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        made.root = pattern;
        std::filesystem::create_directory(made.root + "/.locks");
        voksim::Identity identity;
        identity.memoryModel = 2;
        identity.memoryUnits = 255;
        made.node = voksim::createToken(made.root, 1, 2, identity);
        voksim::setLogging(made.node, false);
        made.capture = made.root + "/capture.pcap";
        setenv("USB_DEVFS_PATH", made.root.c_str(), 1);
        setenv("VOK_IPC_NAME", (made.root + "/.locks").c_str(), 1);
        made.handle = vokOpen(0);
        if (made.handle == VOK_INVALID_HANDLE) {
            std::fprintf(stderr, "no virtual token\n");
            std::exit(1);
        }
        return made;
    }();
    return t;
}

// Turns the capture on (into a fresh file) or off.
void setCapture(bool on) {
    BenchTree& t = tree();
    if (on) {
        std::filesystem::remove(t.capture);
        setenv("VOK_CAPTURE", t.capture.c_str(), 1);
    } else {
        unsetenv("VOK_CAPTURE");
    }
    vokCaptureForget();
}

void dropLine(void*, int, const char*) {}

bool readOnce(int mode, uint16_t words, uint8_t* buffer) {
    static const voksim::Identity identity;
    VokIdResponse response;
    if (mode < 0) return vokbench::bareRead(tree().node, identity.tokenId, words, buffer);
    return vokRead(tree().handle, nullptr, 0, 0, buffer, 2u * words, &response) == VOK_STATUS_OK;
}

void BM_Read(benchmark::State& state) {
    BenchTree& t = tree();
    const auto words = static_cast<uint16_t>(state.range(0));
    const auto mode = static_cast<int>(state.range(1));
    std::vector<uint8_t> buffer(2u * words + 2);
    setCapture(mode == 1);
    vokSetLogHandler(dropLine, nullptr);
    vokSetLogLevel(mode == 3 ? 3 : 0);
    for (auto _ : state) {
        if (!readOnce(mode, words, buffer.data())) {
            state.SkipWithError("the read failed");
            break;
        }
    }
    vokSetLogLevel(0);
    vokSetLogHandler(nullptr, nullptr);
    setCapture(false);
    (void)t;
}

const std::vector<uint8_t>& largeCapture() {
    BenchTree& t = tree();
    if (t.captured.empty()) {
        setCapture(true);
        std::vector<uint8_t> buffer(2u * kCapturedWords);
        for (int i = 0; i < kCapturedReads; ++i) (void)readOnce(0, kCapturedWords, buffer.data());
        setCapture(false);
        std::ifstream in(t.capture, std::ios::binary);
        t.captured.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return t.captured;
}

void BM_Decode(benchmark::State& state) {
    const std::vector<uint8_t>& capture = largeCapture();
    size_t transactions = 0;
    for (auto _ : state) {
        vokdecode::TokenDecoder decoder([&](const vokdecode::Transaction&) { ++transactions; },
                                        false);
        (void)vokdecode::readCaptureBytes(capture.data(), capture.size(),
                                          [&](const vokdecode::UsbEvent& e) { decoder.feed(e); });
        decoder.finish();
    }
    state.counters["transactions/s"] =
        benchmark::Counter(static_cast<double>(transactions), benchmark::Counter::kIsRate);
    state.counters["MB"] = static_cast<double>(capture.size()) / 1e6;
}

class CaptureReporter : public benchmark::ConsoleReporter {
  public:
    CaptureReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            int words = 0, mode = 0;
            if (run.error_occurred || run.run_type != Run::RT_Iteration ||
                std::sscanf(run.benchmark_name().c_str(), "BM_Read/%d/%d", &words, &mode) != 2) {
                continue;
            }
            auto& [sum, count] = times_[words][mode];
            sum += run.GetAdjustedCPUTime();
            ++count;
        }
    }
    void PrintComparison() const {
        std::printf("\n%-6s %10s %10s %7s %12s %7s %12s %7s\n", "words", "floor (us)", "off (us)",
                    "off/fl", "capture (us)", "cap/fl", "trace 3 (us)", "tr/fl");
        for (const auto& [words, byMode] : times_) {
            const auto mean = [&](int mode) {
                const auto found = byMode.find(mode);
                return found == byMode.end() ? 0.0 : found->second.first / found->second.second;
            };
            const double floor = mean(-1);
            if (floor <= 0) continue;
            std::printf("%-6d %10.2f %10.2f %7.3f %12.2f %7.3f %12.2f %7.3f\n", words, floor,
                        mean(0), mean(0) / floor, mean(1), mean(1) / floor, mean(3),
                        mean(3) / floor);
        }
    }

  private:
    std::map<int, std::map<int, std::pair<double, int>>> times_;
};

}  // namespace

BENCHMARK(BM_Read)
    ->Args({1, -1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({1, 3})
    ->Args({64, -1})
    ->Args({64, 0})
    ->Args({64, 1})
    ->Args({64, 3})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Decode)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    CaptureReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintComparison();
    benchmark::Shutdown();
    return 0;
}
