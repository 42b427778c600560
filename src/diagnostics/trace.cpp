// The debug trace and the system error behind a failure. A line is formatted
// into a stack buffer and handed to the application's log handler, or written
// to stderr in one write. No lock is held while the handler runs, so it may
// call vokSetLogHandler, vokSetLogLevel, vokLastSystemError and
// vokStatusString.
#include "diagnostics/trace.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/vokAssert.h"
#include "common/wireFacts.h"

namespace {

constexpr int kLevelUnknown = -1;
constexpr size_t kLineSize = 320;

std::atomic<int> gLevel{kLevelUnknown};

thread_local int tLastSystemError = 0;
thread_local VokHandle tHandle = VOK_INVALID_HANDLE;

}  // namespace

VokLogTarget gVokLogTarget = {PTHREAD_MUTEX_INITIALIZER, nullptr, nullptr};

// Writes a trace line to stderr. A library must never raise a signal in its
// caller: with stderr a pipe whose reader has gone, the write would raise
// SIGPIPE and end the application in the middle of a transaction. SIGPIPE is
// blocked in this thread for the write, and one that the write raised is
// taken back before the old mask returns (one that was pending before stays
// pending). A line that cannot be written is lost; errno is left as it was.
static void write_to_stderr(const char* text, size_t length) {
    const int savedErrno = errno;
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigset_t pending;
    const bool pendingBefore = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    sigset_t previous;
    const bool blocked = pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous) == 0;
    ssize_t written = 0;
    do {
        written = write(STDERR_FILENO, text, length);
    } while (written < 0 && errno == EINTR);
    if (written < 0 && errno == EPIPE && blocked && !pendingBefore) {
        const timespec noWait = {0, 0};
        while (sigtimedwait(&pipeSignal, nullptr, &noWait) < 0 && errno == EINTR) {
        }
    }
    if (blocked) {
        (void)pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    errno = savedErrno;
}

static void emit(int level, const char* line, size_t length) {
    int r = pthread_mutex_lock(&gVokLogTarget.lock);
    VOK_ASSERT(r == 0);
    const VokLogHandler handler = gVokLogTarget.handler;
    void* const context = gVokLogTarget.context;
    r = pthread_mutex_unlock(&gVokLogTarget.lock);
    VOK_ASSERT(r == 0);
    if (handler != nullptr) {
        handler(context, level, line);
        return;
    }
    char withNewline[kLineSize + 1];
    std::memcpy(withNewline, line, length);
    withNewline[length] = '\n';
    write_to_stderr(withNewline, length + 1);
}

// Formats "vok[pid:tid] seconds.micros " and the message, then emits it.
[[gnu::format(printf, 2, 3)]] static void trace_line(int level, const char* format, ...) {
    const int savedErrno = errno;
    char line[kLineSize];
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    int used = std::snprintf(line, sizeof line, "vok[%d:%d] %lld.%06ld ",
                             static_cast<int>(getpid()), static_cast<int>(gettid()),
                             static_cast<long long>(now.tv_sec), now.tv_nsec / 1000);
    if (used < 0) used = 0;
    va_list arguments;
    va_start(arguments, format);
    // The analyzer does not see va_start through the array type of va_list.
    const int more = std::vsnprintf(  // NOLINT(clang-analyzer-valist.Uninitialized)
        line + used, sizeof line - static_cast<size_t>(used), format, arguments);
    va_end(arguments);
    size_t length = static_cast<size_t>(used) + (more > 0 ? static_cast<size_t>(more) : 0);
    if (length >= sizeof line) length = sizeof line - 1;  // cut, still terminated
    emit(level, line, length);
    errno = savedErrno;
}

// Ignored in a secure-execution process: a set-user-ID program must not send
// its trace wherever its caller's stderr goes.
static int level_from_environment() {
    const char* value = secure_getenv("VOK_DEBUG");  // NOLINT(concurrency-mt-unsafe)
    if (value == nullptr || value[0] == '\0') return kTraceOff;
    if (value[1] == '\0' && value[0] >= '0' && value[0] <= '3') return value[0] - '0';
    return -2;  // not a level
}

int vokTraceLevel() {
    const int level = gLevel.load(std::memory_order_relaxed);
    if (level != kLevelUnknown) return level;
    const int fromEnvironment = level_from_environment();
    int expected = kLevelUnknown;
    const int chosen = fromEnvironment < 0 ? kTraceOff : fromEnvironment;
    if (gLevel.compare_exchange_strong(expected, chosen) && fromEnvironment < 0) {
        const char* value = secure_getenv("VOK_DEBUG");  // NOLINT(concurrency-mt-unsafe)
        char line[kLineSize];
        const int length = std::snprintf(
            line, sizeof line, "vok: VOK_DEBUG=%.64s is not a level from 0 to 3; no trace",
            value != nullptr ? value : "");
        if (length > 0) emit(kTraceFailures, line, std::min<size_t>(length, sizeof line - 1));
    }
    return gLevel.load(std::memory_order_relaxed);
}

void vokTraceSetLevel(int level) {
    gLevel.store(level < kTraceOff ? kTraceOff
                                   : (level > kTraceTransfers ? kTraceTransfers : level));
}

void vokTraceBeginCall() { tLastSystemError = 0; }

int vokTraceLastSystemError() { return tLastSystemError; }

void vokTraceSetHandle(VokHandle handle) { tHandle = handle; }

void vokTraceSystemError(const char* call, const char* path, int error) {
    tLastSystemError = error;
    if (vokTraceLevel() < kTraceFailures) return;
    char reason[96];
    const char* text = strerror_r(error, reason, sizeof reason);
    trace_line(kTraceFailures, "%s %s failed: %s (errno %d)", call, path != nullptr ? path : "-",
               text, error);
}

void vokTraceFailure(const char* what, const char* path) {
    if (vokTraceLevel() < kTraceFailures) return;
    trace_line(kTraceFailures, "%s: %s", path != nullptr ? path : "-", what);
}

uint64_t vokTraceNowNanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

void vokTraceTransaction(const VokTraceTransaction& t) {
    if (vokTraceLevel() < kTraceTransactions) return;
    char handle[16] = "-";
    if (tHandle != VOK_INVALID_HANDLE) (void)std::snprintf(handle, sizeof handle, "%u", tHandle);
    const uint64_t micros = (vokTraceNowNanos() - t.startNanos) / 1000;
    trace_line(kTraceTransactions,
               "transaction 0x%02x handle %s on %s: phases 0-%d, status %d, %u transfers, "
               "%llu us",
               t.command, handle, t.path != nullptr ? t.path : "-", t.lastPhase, t.status,
               t.transfers, static_cast<unsigned long long>(micros));
}

void vokTraceTransfer(uint8_t command, int phase, bool toToken, uint16_t value,
                      const uint8_t* bytes, size_t length, int result, int error) {
    if (vokTraceLevel() < kTraceTransfers) return;
    char hex[3 * 16 + 1] = "";
    const size_t shown = toToken ? length : (result > 0 ? static_cast<size_t>(result) : 0);
    size_t at = 0;
    for (size_t i = 0; i < shown && i < 16; ++i) {
        if (vokwire::maskedByte(command, phase, toToken, i)) {
            std::memcpy(hex + at, " **", 3);
        } else {
            (void)std::snprintf(hex + at, sizeof hex - at, " %02x", bytes[i]);
        }
        at += 3;
    }
    hex[at] = '\0';
    trace_line(kTraceTransfers,
               "transfer %s phase %d wValue 0x%02x length %zu: result %d errno %d:%s",
               toToken ? "out" : "in", phase, value, length, result, error, hex);
}
