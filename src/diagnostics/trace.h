// The debug trace and the system error behind a failure.
//
// Off by default; VOK_DEBUG (read once) or vokSetLogLevel turn it on:
//   1  failures: every failing system call, with the path and strerror
//   2  and one line per transaction
//   3  and one line per control transfer, PIN-carrying bytes masked
// Lines go to stderr or to the application's log handler. Formatting uses
// stack buffers only: the transaction path allocates nothing, traced or not.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "vok/vok.h"

inline constexpr int kTraceOff = 0;
inline constexpr int kTraceFailures = 1;
inline constexpr int kTraceTransactions = 2;
inline constexpr int kTraceTransfers = 3;

// The level in force; cheap enough for every transfer.
int vokTraceLevel();
// Sets the level, held to kTraceOff..kTraceTransfers (vokSetLogLevel).
void vokTraceSetLevel(int level);

// Where the lines go: the application's handler with its context, or stderr
// while the handler is null. The lock guards the pair only while it is read
// or changed (vokSetLogHandler), never while the handler runs.
struct VokLogTarget {
    pthread_mutex_t lock;
    VokLogHandler handler;
    void* context;
};
extern VokLogTarget gVokLogTarget;

// Starts a public call: the thread's last system error goes back to 0.
void vokTraceBeginCall();
// The thread's last system error (vokLastSystemError).
int vokTraceLastSystemError();

// A system call that failed with `error`: remembered as the thread's last
// system error and, at level 1 and up, traced with `path` (may be null).
void vokTraceSystemError(const char* call, const char* path, int error);

// A failure that is not a system call's (a short transfer, a missing echo, a
// refused lock file), traced at level 1 and up.
void vokTraceFailure(const char* what, const char* path);

// The handle whose call the thread is running (for the transaction lines).
void vokTraceSetHandle(VokHandle handle);

// One transaction, at level 2 and up.
struct VokTraceTransaction {
    uint8_t command;
    const char* path;
    int lastPhase;  // -1 when phase 0 was not reached
    int status;
    uint32_t transfers;
    uint64_t startNanos;
};
uint64_t vokTraceNowNanos();
void vokTraceTransaction(const VokTraceTransaction& transaction);

// One control transfer of a transaction of `command`, at level 3. `phase` is
// the phase the engine was in (-1 for the reset exchange); payload bytes that
// may carry a PIN, a PIN's length or token memory are masked.
void vokTraceTransfer(uint8_t command, int phase, bool toToken, uint16_t value,
                      const uint8_t* bytes, size_t length, int result, int error);
