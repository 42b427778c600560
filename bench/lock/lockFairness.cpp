// Each caller is a thread with a handle of its own that reads 2 bytes in a
// loop until the row's time is up. The token is busy all along, so one
// call's share of it (the mean call time) is the row's time over all its
// calls. A call's wait is its length less that share; in turn, a caller waits
// for at most one call of each other caller: (N-1) x the mean call time.
#include "lockFairness.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <latch>
#include <thread>
#include <vector>

#include "vok/vok.h"
#include "voksim/voksim.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kLatencyMicros = 100;

struct FairnessRow {
    int callers = 0;
    long fewest = 0;  // calls of the caller that made the fewest
    long most = 0;
    double meanCallMicros = 0;
    double longestWaitMicros = 0;
    long failures = 0;  // failed calls, and handles that did not open
};

struct Caller {
    VokHandle handle = VOK_INVALID_HANDLE;
    long calls = 0;
    double longestMicros = 0;
    long failures = 0;
};

void run_caller(Caller& caller, std::latch& go, const Clock::time_point& end) {
    go.wait();
    uint8_t bytes[2];
    VokIdResponse response;
    while (Clock::now() < end) {
        const auto asked = Clock::now();
        if (vokRead(caller.handle, nullptr, 0, 0, bytes, sizeof bytes, &response) != 0) {
            ++caller.failures;
            continue;
        }
        const double micros =
            std::chrono::duration<double, std::micro>(Clock::now() - asked).count();
        caller.longestMicros = std::max(caller.longestMicros, micros);
        ++caller.calls;
    }
}

FairnessRow measure(uint8_t index, int callers, double seconds) {
    std::vector<Caller> each(static_cast<size_t>(callers));
    FairnessRow row;
    row.callers = callers;
    for (Caller& caller : each) {
        caller.handle = vokOpen(index);
        row.failures += caller.handle == VOK_INVALID_HANDLE;
    }
    if (row.failures != 0) {
        for (Caller& caller : each) vokClose(caller.handle);
        return row;
    }
    std::latch go(1);
    Clock::time_point end;
    std::vector<std::thread> threads;
    for (Caller& caller : each)
        threads.emplace_back(run_caller, std::ref(caller), std::ref(go), std::cref(end));
    const auto start = Clock::now();
    end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    go.count_down();  // publishes `end` to every caller
    for (std::thread& thread : threads) thread.join();
    const double elapsedMicros =
        std::chrono::duration<double, std::micro>(Clock::now() - start).count();

    long total = 0;
    double longestCall = 0;
    row.fewest = each.front().calls;
    for (const Caller& caller : each) {
        vokClose(caller.handle);
        total += caller.calls;
        row.failures += caller.failures;
        row.fewest = std::min(row.fewest, caller.calls);
        row.most = std::max(row.most, caller.calls);
        longestCall = std::max(longestCall, caller.longestMicros);
    }
    row.meanCallMicros = total > 0 ? elapsedMicros / static_cast<double>(total) : 0;
    row.longestWaitMicros = std::max(0.0, longestCall - row.meanCallMicros);
    return row;
}

}  // namespace

bool print_fairness_table(uint8_t index, const std::string& node, double seconds) {
    voksim::Faults slow;
    slow.latencyMicros = kLatencyMicros;
    if (!voksim::setFaults(node, slow)) return false;
    std::printf(
        "\nfair turns: N threads, each with a handle, read 2 bytes from one token, %u us a "
        "transfer, %.0f s a row\n",
        kLatencyMicros, seconds);
    std::printf("%8s %20s %12s %14s %16s %8s %9s\n", "callers", "calls each min/max", "mean call",
                "longest wait", "(N-1) x mean", "ratio", "failures");
    bool good = true;
    for (const int callers : {2, 8, 64}) {
        const FairnessRow row = measure(index, callers, seconds);
        const double bound = (callers - 1) * row.meanCallMicros;
        std::printf("%8d %9ld / %-8ld %9.2f ms %11.1f ms %13.1f ms %8.2f %9ld\n", row.callers,
                    row.fewest, row.most, row.meanCallMicros / 1000, row.longestWaitMicros / 1000,
                    bound / 1000, bound > 0 ? row.longestWaitMicros / bound : 0.0, row.failures);
        good = good && row.failures == 0;
    }
    return voksim::clearFaults(node) && good;
}
