// Each caller is a thread with a handle of its own that reads 64 bytes in a
// loop until the row's time is up. The token is busy all along, so one
// call's share of it (the mean call time) is the row's time over all its
// calls. A call's wait is its length less that share; in turn, a caller waits
// for at most one call of each other caller: (N-1) x the mean call time.
// One caller waits for nobody: its row shows how much calls vary by
// themselves (the transfers' sleeps, the machine's load).
#include "lockFairness.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <latch>
#include <thread>
#include <vector>

#include "vok/vok.h"
#include "voksim/voksim.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kLatencyMicros = 100;
constexpr uint32_t kReadBytes = 64;

struct FairnessRow {
    int callers = 0;
    long fewest = 0;  // calls of the caller that made the fewest
    long most = 0;
    double transfersPerCall = 0;
    double meanCallMicros = 0;
    double longestWaitMicros = 0;
    double p99WaitMicros = 0;  // 99 of 100 calls waited no longer
    long failures = 0;         // failed calls, and handles that did not open
};

struct Caller {
    VokHandle handle = VOK_INVALID_HANDLE;
    std::vector<double> callMicros;  // the length of each call
    long failures = 0;
};

void run_caller(Caller& caller, std::latch& go, const Clock::time_point& end) {
    go.wait();
    uint8_t bytes[kReadBytes];
    VokIdResponse response;
    while (Clock::now() < end) {
        const auto asked = Clock::now();
        if (vokRead(caller.handle, nullptr, 0, 0, bytes, sizeof bytes, &response) != 0) {
            ++caller.failures;
            continue;
        }
        caller.callMicros.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - asked).count());
    }
}

uint64_t transfers_of(const std::string& node) {
    const auto state = voksim::readState(node);
    return state ? state->transferCount : 0;
}

FairnessRow measure(const std::string& node, int callers, double seconds) {
    std::vector<Caller> each(static_cast<size_t>(callers));
    FairnessRow row;
    row.callers = callers;
    for (Caller& caller : each) {
        caller.handle = vokOpenPath(node.c_str());
        row.failures += caller.handle == VOK_INVALID_HANDLE;
    }
    if (row.failures != 0) {
        for (Caller& caller : each) vokClose(caller.handle);
        return row;
    }
    std::latch go(1);
    Clock::time_point end;
    std::vector<std::thread> threads;
    for (Caller& caller : each) {
        threads.emplace_back(run_caller, std::ref(caller), std::ref(go), std::cref(end));
    }
    const uint64_t transfersBefore = transfers_of(node);
    const auto start = Clock::now();
    end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    go.count_down();  // publishes `end` to every caller
    for (std::thread& thread : threads) thread.join();
    const double elapsedMicros =
        std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    const uint64_t transfers = transfers_of(node) - transfersBefore;

    std::vector<double> calls;
    row.fewest = static_cast<long>(each.front().callMicros.size());
    for (const Caller& caller : each) {
        vokClose(caller.handle);
        const auto made = static_cast<long>(caller.callMicros.size());
        calls.insert(calls.end(), caller.callMicros.begin(), caller.callMicros.end());
        row.failures += caller.failures;
        row.fewest = std::min(row.fewest, made);
        row.most = std::max(row.most, made);
    }
    if (calls.empty()) return row;
    const auto total = static_cast<double>(calls.size());
    row.transfersPerCall = static_cast<double>(transfers) / total;
    row.meanCallMicros = elapsedMicros / total;
    std::sort(calls.begin(), calls.end());
    row.longestWaitMicros = std::max(0.0, calls.back() - row.meanCallMicros);
    row.p99WaitMicros =
        std::max(0.0, calls[static_cast<size_t>(0.99 * (total - 1))] - row.meanCallMicros);
    return row;
}

}  // namespace

bool print_fairness_table(const std::string& node, double seconds) {
    voksim::Faults slow;
    slow.latencyMicros = kLatencyMicros;
    if (!voksim::setFaults(node, slow)) return false;
    std::printf(
        "\nfair turns: N threads, each with a handle, read %u bytes from one token, %u us a "
        "transfer, %.0f s a row\n",
        kReadBytes, kLatencyMicros, seconds);
    std::printf("%7s %9s %16s %10s %11s %11s %13s %7s %8s\n", "callers", "transfers", "calls each",
                "mean call", "p99 wait", "longest", "(N-1) x mean", "ratio", "failures");
    bool good = true;
    for (const int callers : {1, 2, 8, 64}) {
        const FairnessRow row = measure(node, callers, seconds);
        const double bound = (callers - 1) * row.meanCallMicros;
        char ratio[16] = "(floor)";
        if (bound > 0) std::snprintf(ratio, sizeof ratio, "%.2f", row.longestWaitMicros / bound);
        std::printf("%7d %9.1f %7ld to %-5ld %7.2f ms %8.1f ms %8.1f ms %10.1f ms %7s %8ld\n",
                    row.callers, row.transfersPerCall, row.fewest, row.most,
                    row.meanCallMicros / 1000, row.p99WaitMicros / 1000,
                    row.longestWaitMicros / 1000, bound / 1000, ratio, row.failures);
        good = good && row.failures == 0;
    }
    return voksim::clearFaults(node) && good;
}
