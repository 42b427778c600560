// How a handle-based public function reaches its token. Every one follows
// one pattern: check the arguments that need no device (3 on the first
// failure, before the handle is looked up, so a bad argument wins over a bad
// handle), look the handle up and lock it (9 when it is not open), hold the
// token, run its token commands on the handle's device record, let the token
// and the handle go, and return the status of the last command run.
//
// A function that holds a handle's lock never looks a handle up again: a
// thread waiting for a busy handle waits inside the handle manager's global
// lock, so a lookup from a thread that holds a handle could deadlock.
#pragma once

#include <cerrno>
#include <cstdint>

#include "commands/tokenCommands.h"
#include "common/libraryStatus.h"
#include "diagnostics/trace.h"
#include "discovery/deviceList.h"
#include "handles/handleManager.h"
#include "lock/tokenLock.h"
#include "vok/vok.h"

// The handle manager's type tag of an opened device, the only kind of handle.
inline constexpr uint32_t kDeviceHandle = 1;

// Holds the token for all the transactions of a call, so that they never
// interleave with another handle's or another process's (see
// lock/tokenLock.cpp). Taken after the handle's lock, and never while
// waiting for any other lock. When the token cannot be had, the call's
// commands still run, and their transactions fail before they start (see
// vokRefuseTokenTransactions): the caller gets the outputs of a transaction
// that could not start, whatever the reason.
class TokenHold {
  public:
    explicit TokenHold(const VokDevice* device) : fd_(vokLockToken(device->devicePath)) {
        if (fd_ < 0) vokRefuseTokenTransactions(errno != 0 ? errno : EBUSY);
    }
    ~TokenHold() {
        if (fd_ >= 0) {
            vokUnlockToken(fd_);
        } else {
            vokRefuseTokenTransactions(0);
        }
    }
    TokenHold(const TokenHold&) = delete;
    TokenHold& operator=(const TokenHold&) = delete;

  private:
    int fd_;
};

// The handle's steps of the pattern: lock the handle, run `work` on its
// device record, unlock. `work` must not look up any handle.
template <typename Work>
uint32_t with_handle(VokHandle handle, Work work) {
    auto* device = static_cast<VokDevice*>(vokOpenAndLockHandle(handle, kDeviceHandle));
    if (device == nullptr) return VOK_STATUS_BAD_HANDLE;
    vokTraceSetHandle(handle);
    const uint32_t status = work(device);
    vokTraceSetHandle(VOK_INVALID_HANDLE);
    vokUnlockHandle(handle);
    return status;
}

// The same with the token held for all of `work`'s transactions.
template <typename Work>
uint32_t with_device(VokHandle handle, Work work) {
    return with_handle(handle, [&](VokDevice* device) {
        const TokenHold hold(device);
        return work(device);
    });
}

// The info command of a device record, with the token held.
inline int read_token_info(VokDevice* device) {
    const TokenHold hold(device);
    return vokIdGetInfoCmd(device, &device->info);
}
